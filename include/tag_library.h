/* Interface of the device's tag library, as the watchdog uses it. */
#ifndef TAG_LIBRARY_H
#define TAG_LIBRARY_H

#include <stdint.h> /* NOLINT(modernize-deprecated-headers): a C header */

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque name of an open tag; 0 means no tag. */
typedef uint32_t tag_handle;

/* Called by the library, on a thread of its own, when an open tag's value
 * changes. The value is only valid during the call. */
typedef int32_t (*tag_change_handler)(tag_handle tag, uint32_t reserved1,
                                      const double *value, uint32_t reserved2);

/* The values the library checks: the record's size, which size holds on
 * every build, and the mode qm_tag_init is called with. */
enum { TAG_INIT_PARAMS_SIZE = 16, TAG_INIT_MODE = 100 };

/* Crosses into the library with a fixed layout: TAG_INIT_PARAMS_SIZE bytes
 * on the 32-bit target. */
typedef struct tag_init_params {
    int32_t size;
    int32_t reserved1;
    int32_t reserved2;
    tag_change_handler on_change;
} tag_init_params;

/* 0 on success, otherwise an error code. */
int32_t qm_tag_init(int32_t mode, tag_init_params *params, int32_t flags);

/* The handle of the named tag, or 0 when it cannot be opened. */
tag_handle qm_tag_open(const char *name, int32_t flags);

#ifdef __cplusplus
}
#endif

#endif
