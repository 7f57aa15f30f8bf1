// Feeds arbitrary tag file contents to the stand-in library's value parser.
// Memory errors are the sanitizers' to find; these are the parser's promises.

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tag_value.h"

namespace {

bool mentions_infinity(const uint8_t *data, std::size_t size)
{
    for (std::size_t i = 0; i + 3 <= size; ++i) {
        if (tolower(data[i]) == 'i' && tolower(data[i + 1]) == 'n' && tolower(data[i + 2]) == 'f')
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    double value = 0.0;
    if (!parse_tag_value(reinterpret_cast<const char *>(data), size, &value))
        return 0;
    // A NUL byte would have cut the number short of the whole content.
    if (memchr(data, 0, size) != nullptr)
        abort();
    // Overflow is refused: an infinity accepted must have been written as one.
    if (std::isinf(value) && !mentions_infinity(data, size))
        abort();
    return 0;
}
