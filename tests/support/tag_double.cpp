// A scripted tag library with the SONAME of the real one. Its own thread
// delivers notifications in step with the watchdog's passes, which the
// preloaded call recorder reports through tagdouble_sleep_done().
//   TAGDOUBLE_INIT_RESULT  what qm_tag_init returns (default 0)
//   TAGDOUBLE_HANDLE       what qm_tag_open returns (default 42)
//   TAGDOUBLE_SCRIPT       steps "WHEN:VALUE" or "WHEN:VALUE:other", WHEN the
//                          number of sleeps the watchdog has finished, 0 for
//                          "during qm_tag_open, before it returns"; "other"
//                          sends the value for another tag's handle; VALUE
//                          "storm" has four threads at once call the handler
//                          with 0, 1, other values and other handles, and
//                          joins them before the next step
//   TAGDOUBLE_KEEP_OPEN    a file that qm_tag_init opens for writing and keeps
//                          open, as a library keeps its device open
// Calls into the library, "@delivered STEP" once a step's calls of the
// handler returned, and any non-zero handler result go to the transcript.

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>

#include "tag_library.h"
#include "transcript.h"

namespace {

constexpr tag_handle default_handle = 42;
constexpr std::size_t most_steps = 64;
constexpr int storm_threads = 4;
constexpr int storm_calls = 25000;

struct step {
    const char *text; // as the script writes it, text_length bytes
    int text_length;
    long when;
    double value;
    bool other_tag;
    bool storm;
};

step steps[most_steps];
std::size_t step_count = 0;

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
long sleeps_reached = -1; // -1 until qm_tag_open
std::size_t delivered = 0;

tag_init_params *registered = nullptr;
tag_handle open_handle = default_handle;

void read_script()
{
    const char *script = getenv("TAGDOUBLE_SCRIPT");
    while (script != nullptr && *script != '\0' && step_count < most_steps) {
        char *end = nullptr;
        step &next = steps[step_count];
        next.text = script;
        next.when = strtol(script, &end, 10);
        if (*end != ':')
            abort();
        next.storm = strncmp(end + 1, "storm", 5) == 0;
        next.value = next.storm ? 0.0 : strtod(end + 1, &end);
        if (next.storm)
            end += 6;
        next.other_tag = strncmp(end, ":other", 6) == 0;
        if (next.other_tag)
            end += 6;
        next.text_length = static_cast<int>(end - script);
        ++step_count;
        script = end + strspn(end, " ");
    }
}

bool step_due()
{
    return delivered < step_count && steps[delivered].when <= sleeps_reached;
}

void notify(tag_handle tag, double value)
{
    const int32_t result = registered->on_change(tag, 0, &value, 0);
    if (result != 0)
        write_transcript("@handler returned %d", result);
}

void *storm(void *seed)
{
    const double values[] = {0.0, 1.0, 2.0, -0.0, NAN, 1.0};
    unsigned index = *static_cast<const unsigned *>(seed);
    for (int call = 0; call < storm_calls; ++call, index = index * 7 + 3) {
        const tag_handle tag = index % 5 == 0 ? open_handle + 1 : open_handle;
        notify(tag, values[index % (sizeof values / sizeof values[0])]);
    }
    return nullptr;
}

void run_storm()
{
    static unsigned seeds[storm_threads] = {0, 1, 2, 3};
    pthread_t threads[storm_threads];
    for (int i = 0; i < storm_threads; ++i)
        pthread_create(&threads[i], nullptr, storm, &seeds[i]);
    for (pthread_t thread : threads)
        pthread_join(thread, nullptr);
}

void *deliver_steps(void * /*unused*/)
{
    for (;;) {
        pthread_mutex_lock(&lock);
        while (!step_due())
            pthread_cond_wait(&changed, &lock);
        const step next = steps[delivered];
        pthread_mutex_unlock(&lock);

        if (next.storm)
            run_storm();
        else
            notify(next.other_tag ? open_handle + 1 : open_handle, next.value);
        write_transcript("@delivered %.*s", next.text_length, next.text);

        pthread_mutex_lock(&lock);
        ++delivered;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
    }
}

// Lets the thread deliver every step due by now, and waits until it has.
void advance_to(long sleeps)
{
    pthread_mutex_lock(&lock);
    sleeps_reached = sleeps;
    pthread_cond_broadcast(&changed);
    while (step_due())
        pthread_cond_wait(&changed, &lock);
    pthread_mutex_unlock(&lock);
}

} // namespace

extern "C" void tagdouble_sleep_done(unsigned sleeps)
{
    advance_to(static_cast<long>(sleeps));
}

int32_t qm_tag_init(int32_t mode, tag_init_params *params, int32_t flags)
{
    if (params == nullptr) {
        write_transcript("@qm_tag_init %d null %d", mode, flags);
    } else {
        write_transcript("@qm_tag_init %d {%d %d %d %s} %d", mode, params->size,
                         params->reserved1, params->reserved2,
                         params->on_change != nullptr ? "handler" : "null", flags);
    }
    const char *result = getenv("TAGDOUBLE_INIT_RESULT");
    if (result != nullptr && *result != '\0')
        return static_cast<int32_t>(strtol(result, nullptr, 10));
    if (params == nullptr || params->on_change == nullptr)
        return -1;

    const char *handle = getenv("TAGDOUBLE_HANDLE");
    if (handle != nullptr && *handle != '\0')
        open_handle = static_cast<tag_handle>(strtoul(handle, nullptr, 0));
    const char *keep = getenv("TAGDOUBLE_KEEP_OPEN");
    if (keep != nullptr && *keep != '\0')
        open(keep, O_WRONLY | O_CREAT | O_APPEND, 0644);
    // The record is read again at every delivery: it must stay in place.
    registered = params;
    read_script();

    sigset_t all{};
    sigset_t previous{};
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread{};
    const int error = pthread_create(&thread, nullptr, deliver_steps, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0)
        return -error;
    pthread_detach(thread);
    return 0;
}

tag_handle qm_tag_open(const char *name, int32_t flags)
{
    write_transcript("@qm_tag_open %s %d", name != nullptr ? name : "(null)", flags);
    advance_to(0);
    return open_handle;
}
