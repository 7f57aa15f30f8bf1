#include "tag_value.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Longer content is refused unread: no number needs more.
constexpr std::size_t longest_value = 127;

bool is_blank(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

bool parse_tag_value(const char *content, std::size_t length, double *value)
{
    while (length > 0 && is_blank(*content)) {
        ++content;
        --length;
    }
    while (length > 0 && is_blank(content[length - 1]))
        --length;
    if (length == 0 || length > longest_value)
        return false;
    // strtod needs a terminated string; an embedded NUL ends it early and the
    // length check below refuses the rest.
    char text[longest_value + 1];
    memcpy(text, content, length);
    text[length] = '\0';

    char *end = nullptr;
    errno = 0;
    const double parsed = strtod(text, &end);
    if (errno == ERANGE || end != text + length)
        return false;
    *value = parsed;
    return true;
}
