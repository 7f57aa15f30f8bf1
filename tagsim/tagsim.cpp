// Stand-in for the device's tag library: tags are files in a store
// directory, and a thread of the library's own reports each finished write
// of an open tag to the registered handler.
//
// For the suites only: where TAGSIM_FENCE names a file outside the store,
// a token written to it is copied to that name plus ".passed" once every
// change written before it has been delivered. A check that nothing more
// happens needs that sign; the program's output does not show it.

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
#include "tag_value.h"

namespace {

constexpr const char *default_store = "/run/tags";
constexpr std::size_t longest_name = 255;
constexpr std::size_t most_tags = 64;
// One byte more than any value the parser accepts, to see that it is too long.
constexpr std::size_t content_limit = 128;

struct open_tag {
    char name[longest_name + 1];
};

// Written under store_lock by qm_tag_open, read under it by the watcher.
pthread_mutex_t store_lock = PTHREAD_MUTEX_INITIALIZER;
open_tag open_tags[most_tags];
std::size_t open_tag_count = 0;

// Set once by qm_tag_init before the watcher starts; read-only afterwards.
// store_gone_reported is the watcher's alone.
bool initialised = false;
bool store_gone_reported = false;
int events_fd = -1;
int fence_watch = -1;
tag_change_handler handler = nullptr;
char store_path[PATH_MAX];
char fence_path[PATH_MAX];

// The system's text for an error, safe on the library's thread and known to
// glibc 2.17 and later (strerrordesc_np needs 2.32, strerror is not safe).
struct error_text {
    char text[128];
};

error_text describe(int error)
{
    error_text described{};
    const char *text = strerror_r(error, described.text, sizeof described.text);
    if (text != described.text)
        snprintf(described.text, sizeof described.text, "%s", text);
    return described;
}

bool is_valid_name(const char *name)
{
    if (name == nullptr)
        return false;
    const std::size_t length = strnlen(name, longest_name + 1);
    return length > 0 && length <= longest_name && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0 && strchr(name, '/') == nullptr;
}

// Handles count from 1: 0 means no tag.
tag_handle find_tag(const char *name)
{
    for (std::size_t i = 0; i < open_tag_count; ++i) {
        if (strcmp(open_tags[i].name, name) == 0)
            return static_cast<tag_handle>(i + 1);
    }
    return 0;
}

tag_handle remember_tag(const char *name)
{
    pthread_mutex_lock(&store_lock);
    tag_handle handle = find_tag(name);
    if (handle == 0 && open_tag_count < most_tags) {
        memcpy(open_tags[open_tag_count].name, name, strlen(name) + 1);
        handle = static_cast<tag_handle>(++open_tag_count);
    }
    pthread_mutex_unlock(&store_lock);
    if (handle == 0)
        fprintf(stderr, "tagsim: cannot open tag %s: no more than %zu tags\n", name, most_tags);
    return handle;
}

tag_handle watched_handle(const char *name)
{
    pthread_mutex_lock(&store_lock);
    const tag_handle handle = find_tag(name);
    pthread_mutex_unlock(&store_lock);
    return handle;
}

// The store is named by path, not held open: an open directory would keep
// the kernel from reporting its removal. Names never hold a '/'.
// Fits: qm_tag_init leaves room for '/' and a name of the longest length.
void tag_path(const char *name, char (&path)[PATH_MAX])
{
    const std::size_t store_length = strlen(store_path);
    const std::size_t name_length = strnlen(name, longest_name);
    memcpy(path, store_path, store_length);
    path[store_length] = '/';
    memcpy(path + store_length + 1, name, name_length);
    path[store_length + 1 + name_length] = '\0';
}

// Fills content with at most size bytes; false with errno set on failure.
// Never follows a symbolic link and never waits on a FIFO.
bool read_file(const char *path, char *content, std::size_t size, std::size_t *length)
{
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        errno = EISDIR;
        return false;
    }
    std::size_t total = 0;
    while (total < size) {
        const ssize_t got = read(fd, content + total, size - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (got == 0)
            break;
        total += static_cast<std::size_t>(got);
    }
    close(fd);
    *length = total;
    return true;
}

void report_tag(const char *name, tag_handle handle)
{
    char path[PATH_MAX];
    tag_path(name, path);
    char content[content_limit];
    std::size_t length = 0;
    if (!read_file(path, content, sizeof content, &length)) {
        // Gone again, or something that is not a regular file took the tag's
        // place: no value to report, and nothing wrong with the library.
        if (errno != EISDIR && errno != ENOENT)
            fprintf(stderr, "tagsim: cannot read tag %s: %s\n", name, describe(errno).text);
        return;
    }
    double value = 0;
    if (!parse_tag_value(content, length, &value)) {
        fprintf(stderr, "tagsim: tag %s does not hold a number; not reported\n", name);
        return;
    }
    handler(handle, 0, &value, 0);
}

// Events were lost: the last value of every open tag may be among them.
void report_all_tags()
{
    char name[longest_name + 1];
    for (std::size_t i = 0;; ++i) {
        pthread_mutex_lock(&store_lock);
        const bool more = i < open_tag_count;
        if (more)
            memcpy(name, open_tags[i].name, sizeof name);
        pthread_mutex_unlock(&store_lock);
        if (!more)
            return;
        report_tag(name, static_cast<tag_handle>(i + 1));
    }
}

// Events are handled in the order written: everything before the token is delivered.
// Renamed into place, so that the suite never reads half of it.
void pass_fence()
{
    char token[content_limit];
    std::size_t length = 0;
    char passing[PATH_MAX + 16];
    char passed[PATH_MAX + 16];
    snprintf(passing, sizeof passing, "%s.passing", fence_path);
    snprintf(passed, sizeof passed, "%s.passed", fence_path);
    const int fd = open(passing, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool copied = fd >= 0 && read_file(fence_path, token, sizeof token, &length) &&
                        write(fd, token, length) == static_cast<ssize_t>(length);
    if (fd >= 0)
        close(fd);
    if (!copied || rename(passing, passed) != 0)
        fprintf(stderr, "tagsim: cannot pass the fence %s: %s\n", fence_path, describe(errno).text);
}

// name is the event's NUL-terminated name, when event.len is not 0.
void handle_event(const inotify_event &event, const char *name)
{
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
        report_all_tags();
        return;
    }
    if (fence_watch >= 0 && event.wd == fence_watch) {
        if ((event.mask & IN_CLOSE_WRITE) != 0)
            pass_fence();
        return;
    }
    if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0) {
        if (store_gone_reported)
            return;
        store_gone_reported = true;
        fprintf(stderr, "tagsim: tag store %s is gone; no more changes will be reported\n",
                store_path);
        return;
    }
    if ((event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) == 0 || event.len == 0)
        return;
    const tag_handle handle = watched_handle(name);
    if (handle != 0)
        report_tag(name, handle);
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
            fprintf(stderr, "tagsim: cannot watch the tag store: %s\n", describe(errno).text);
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

const char *store_directory()
{
    const char *path = getenv("TAGSIM_DIR");
    return path != nullptr && *path != '\0' ? path : default_store;
}

int32_t close_and_fail(int events, int error)
{
    close(events);
    return -error;
}

// The program prints only the code: say here which folder is wrong and how
// to name another.
int32_t refuse_store(const char *path, int error)
{
    fprintf(stderr,
            "tagsim: cannot use the tag store %s: %s (make it, or name another with TAGSIM_DIR)\n",
            path, describe(error).text);
    return -error;
}

int32_t refuse_fence(const char *path, int error)
{
    fprintf(stderr, "tagsim: cannot watch TAGSIM_FENCE %s: %s\n", path, describe(error).text);
    return -error;
}

} // namespace

[[gnu::visibility("default")]] int32_t qm_tag_init(int32_t /*mode*/, tag_init_params *params, int32_t /*flags*/)
{
    if (params == nullptr || params->size != TAG_INIT_PARAMS_SIZE || params->on_change == nullptr)
        return -EINVAL;
    if (initialised)
        return -EALREADY;
    const char *path = store_directory();
    // Room for '/' and a name of the longest length after it.
    if (strlen(path) + 1 + longest_name >= sizeof store_path)
        return refuse_store(path, ENAMETOOLONG);
    struct stat status {};
    if (stat(path, &status) != 0)
        return refuse_store(path, errno);
    if (!S_ISDIR(status.st_mode))
        return refuse_store(path, ENOTDIR);

    const int events = inotify_init1(IN_CLOEXEC);
    if (events < 0)
        return -errno;
    const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_add_watch(events, path, mask) < 0) {
        const int error = errno;
        close(events);
        return refuse_store(path, error);
    }

    const char *fence = getenv("TAGSIM_FENCE");
    if (fence != nullptr && *fence != '\0') {
        if (strlen(fence) >= sizeof fence_path) {
            close(events);
            return refuse_fence(fence, ENAMETOOLONG);
        }
        fence_watch = inotify_add_watch(events, fence, IN_CLOSE_WRITE);
        if (fence_watch < 0) {
            const int error = errno;
            close(events);
            return refuse_fence(fence, error);
        }
        memcpy(fence_path, fence, strlen(fence) + 1);
    }

    memcpy(store_path, path, strlen(path) + 1);
    events_fd = events;
    handler = params->on_change;
    const int error = start_watcher();
    if (error != 0) {
        events_fd = -1;
        return close_and_fail(events, error);
    }
    initialised = true;
    return 0;
}

[[gnu::visibility("default")]] tag_handle qm_tag_open(const char *name, int32_t /*flags*/)
{
    if (!initialised || !is_valid_name(name))
        return 0;
    char path[PATH_MAX];
    tag_path(name, path);
    struct stat status {};
    if (lstat(path, &status) != 0 || !S_ISREG(status.st_mode))
        return 0;
    return remember_tag(name);
}
