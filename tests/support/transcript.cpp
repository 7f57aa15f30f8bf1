#include "transcript.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked through the format attribute.
void write_transcript(const char *format, ...)
{
    const char *path = getenv("TEST_TRANSCRIPT");
    if (path == nullptr || *path == '\0')
        return;
    const int saved_errno = errno;
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0)
        length = 0;
    if (static_cast<std::size_t>(length) > sizeof line - 2)
        length = static_cast<int>(sizeof line - 2);
    line[length++] = '\n';
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, static_cast<std::size_t>(length)) < 0) {
        }
        close(fd);
    }
    errno = saved_errno;
}
