// Stand-in for the device's tag library: a tag is a file in a store folder
// ($TAGSIM_DIR, or /run/tags), and a tag whose file does not exist does not
// open. A thread of the library's own reports each finished write of the one
// open tag (a close after writing, or a rename onto it) to the handler.
//
// For the suites only: where TAGSIM_FENCE names a file outside the store,
// a token written to it is copied to that name plus ".passed" once every
// change written before it has been delivered. A check that nothing more
// happens needs that sign; the program's output does not show it.

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tag_library.h"

namespace {

constexpr tag_handle the_handle = 1;
// Longer content is refused: no number needs as much.
constexpr std::size_t longest_value = 63;

// Set by qm_tag_init before the watcher starts; read-only afterwards.
tag_change_handler handler = nullptr;
const char *store = nullptr;
const char *fence = nullptr;
int events_fd = -1;
int fence_watch = -1;

// Written by qm_tag_open before tag_open is set, read by the watcher after.
char tag_path[PATH_MAX];
const char *tag_name = nullptr;
std::atomic<bool> tag_open{false};

// At most size bytes of the file, or -1 with errno set. Never follows a link.
ssize_t read_text(const char *path, char *text, std::size_t size)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t length = read(fd, text, size);
    const int error = errno;
    close(fd);
    errno = error;
    return length;
}

void report_tag()
{
    char text[longest_value + 1];
    const ssize_t length = read_text(tag_path, text, longest_value + 1);
    if (length < 0) {
        // Gone again, or a folder took its place: no value to report, and
        // nothing wrong with the library.
        if (errno != ENOENT && errno != EISDIR)
            fprintf(stderr, "tagsim: cannot read tag %s: %m\n", tag_name);
        return;
    }
    const auto count = static_cast<std::size_t>(length);
    char *end = text;
    double value = 0;
    if (count <= longest_value) {
        text[count] = '\0';
        errno = 0;
        value = strtod(text, &end);
    }
    // One number in range, blanks around it allowed: an embedded NUL or a
    // full buffer leaves more after it.
    if (end == text || errno == ERANGE || end + strspn(end, " \t\n\v\f\r") != text + count) {
        fprintf(stderr, "tagsim: tag %s does not hold a number; not reported\n", tag_name);
        return;
    }
    handler(the_handle, 0, &value, 0);
}

// Events come in the order written: every change before the token was delivered.
void pass_fence()
{
    char token[longest_value];
    char passed[PATH_MAX + 8];
    snprintf(passed, sizeof passed, "%s.passed", fence);
    const ssize_t length = read_text(fence, token, sizeof token);
    const int fd = open(passed, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (length < 0 || fd < 0 || write(fd, token, static_cast<std::size_t>(length)) != length)
        fprintf(stderr, "tagsim: cannot pass the fence %s: %m\n", fence);
    if (fd >= 0)
        close(fd);
}

// name is the event's NUL-terminated name, when event.len is not 0.
void handle_event(const inotify_event &event, const char *name)
{
    // Events were lost: the tag's last value may be among them.
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
        if (tag_open.load())
            report_tag();
    } else if (event.wd == fence_watch) {
        if ((event.mask & IN_CLOSE_WRITE) != 0)
            pass_fence();
    } else if (event.len != 0 && tag_open.load() && strcmp(name, tag_name) == 0) {
        report_tag();
    }
}

// Sleeps in a blocking read while nothing changes.
void *watch_store(void * /*unused*/)
{
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t got = read(events_fd, events, sizeof events);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            fprintf(stderr, "tagsim: cannot watch the tag store: %m\n");
            return nullptr;
        }
        for (ssize_t at = 0; at < got;) {
            inotify_event event{};
            memcpy(&event, events + at, sizeof event);
            handle_event(event, events + at + sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

// Signals are the program's business: the library's thread takes none.
int start_watcher()
{
    sigset_t all{};
    sigset_t previous{};
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread{};
    const int error = pthread_create(&thread, nullptr, watch_store, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error == 0)
        pthread_detach(thread);
    return error;
}

// The program prints only the code: the message names what is wrong.
int32_t refuse(int error)
{
    close(events_fd);
    events_fd = -1;
    return -error;
}

} // namespace

[[gnu::visibility("default")]] int32_t qm_tag_init(int32_t mode, tag_init_params *params, int32_t /*flags*/)
{
    if (mode != TAG_INIT_MODE || params == nullptr || params->size != TAG_INIT_PARAMS_SIZE ||
        params->on_change == nullptr)
        return -EINVAL;
    const char *dir = getenv("TAGSIM_DIR");
    store = dir != nullptr && *dir != '\0' ? dir : "/run/tags";
    events_fd = inotify_init1(IN_CLOEXEC);
    if (events_fd < 0)
        return -errno;
    if (inotify_add_watch(events_fd, store, IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
        const int error = errno;
        fprintf(stderr, "tagsim: cannot use the tag store %s: %m (make it, or name another "
                        "with TAGSIM_DIR)\n", store);
        return refuse(error);
    }
    fence = getenv("TAGSIM_FENCE");
    if (fence != nullptr && *fence != '\0') {
        fence_watch = inotify_add_watch(events_fd, fence, IN_CLOSE_WRITE);
        if (fence_watch < 0) {
            const int error = errno;
            fprintf(stderr, "tagsim: cannot watch TAGSIM_FENCE %s: %m\n", fence);
            return refuse(error);
        }
    }
    handler = params->on_change;
    const int error = start_watcher();
    if (error != 0) {
        handler = nullptr;
        return refuse(error);
    }
    return 0;
}

// One tag, named without a '/', and only a regular file.
[[gnu::visibility("default")]] tag_handle qm_tag_open(const char *name, int32_t /*flags*/)
{
    struct stat status {};
    if (handler == nullptr || tag_open.load() || name == nullptr || strchr(name, '/') != nullptr ||
        snprintf(tag_path, sizeof tag_path, "%s/%s", store, name) >= static_cast<int>(sizeof tag_path) ||
        lstat(tag_path, &status) != 0 || !S_ISREG(status.st_mode))
        return 0;
    tag_name = tag_path + strlen(store) + 1;
    tag_open.store(true);
    return the_handle;
}
