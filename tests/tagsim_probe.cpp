// Drives the stand-in tag library directly, for checks of its contract.
//   tagsim_probe init ok|size|mode   prints qm_tag_init's result for the
//                                    record, a wrong size or a wrong mode
//   tagsim_probe open NAME...        prints each handle, without init first
//   tagsim_probe opened NAME...      init, then open and print each handle
//   tagsim_probe watch NAME          the same, then "ready", then one line per
//                                    notification until it is killed
// Its own lines go to standard output; the library must add none there.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "tag_library.h"

namespace {

int32_t print_notification(tag_handle tag, uint32_t reserved1, const double *value,
                           uint32_t reserved2)
{
    printf("notify %u %u %.17g %u\n", tag, reserved1, *value, reserved2);
    fflush(stdout);
    return 0;
}

int32_t init(const char *wrong)
{
    tag_init_params params{TAG_INIT_PARAMS_SIZE, 0, 0, print_notification};
    if (strcmp(wrong, "size") == 0)
        params.size += 8;
    return qm_tag_init(TAG_INIT_MODE + (strcmp(wrong, "mode") == 0 ? 1 : 0), &params, 0);
}

void open_all(int count, char *names[])
{
    for (int i = 0; i < count; ++i)
        printf("handle %u\n", qm_tag_open(names[i], 0));
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    if (strcmp(argv[1], "init") == 0) {
        printf("init %d\n", init(argv[2]));
        return 0;
    }
    if (strcmp(argv[1], "open") == 0) {
        open_all(argc - 2, argv + 2);
        return 0;
    }
    const int32_t result = init("");
    if (result != 0) {
        printf("init %d\n", result);
        return 1;
    }
    open_all(argc - 2, argv + 2);
    if (strcmp(argv[1], "opened") == 0)
        return 0;
    printf("ready\n");
    fflush(stdout);
    for (;;)
        pause();
}
