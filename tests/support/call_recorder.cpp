// Preloaded into the watchdog: records sleep, system, sync and reboot in the
// transcript instead of doing them.
//   RECORDER_SYSTEM_STATUS  what system() returns (default 0)
//   RECORDER_SYNC=hang      sync() never returns
//   RECORDER_REBOOT=fail    reboot() fails with EPERM; otherwise the process
//                           ends at once, without flushing, as a restart would
//   RECORDER_PASSES=N       the process ends (status 0) in its N-th sleep
//   RECORDER_SHOW_SIGPIPE=1 system() also records how SIGPIPE is handled
// sleep() returns at once and, when the tag library double is loaded, only
// after the double has delivered what its script holds for the next pass.
// Without the double it really sleeps.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <unistd.h>

#include "transcript.h"

namespace {

std::atomic<unsigned> sleeps_done{0};

long env_number(const char *name, long fallback)
{
    const char *text = getenv(name);
    return text != nullptr && *text != '\0' ? strtol(text, nullptr, 0) : fallback;
}

bool env_is(const char *name, const char *expected)
{
    const char *text = getenv(name);
    return text != nullptr && strcmp(text, expected) == 0;
}

const char *sigpipe_disposition()
{
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    if (action.sa_handler == SIG_IGN)
        return "ignored";
    return action.sa_handler == SIG_DFL ? "default" : "caught";
}

using sleep_done_hook = void (*)(unsigned);
using sleep_function = unsigned (*)(unsigned);

} // namespace

extern "C" unsigned sleep(unsigned seconds)
{
    write_transcript("@sleep %u", seconds);
    const unsigned done = ++sleeps_done;
    const long limit = env_number("RECORDER_PASSES", 0);
    if (limit > 0 && done >= static_cast<unsigned long>(limit)) {
        write_transcript("@end");
        _exit(0);
    }
    auto hook = reinterpret_cast<sleep_done_hook>(dlsym(RTLD_DEFAULT, "tagdouble_sleep_done"));
    if (hook != nullptr) {
        hook(done);
        return 0;
    }
    auto real_sleep = reinterpret_cast<sleep_function>(dlsym(RTLD_NEXT, "sleep"));
    return real_sleep(seconds);
}

extern "C" int system(const char *command)
{
    write_transcript("@system %s", command != nullptr ? command : "(null)");
    if (env_is("RECORDER_SHOW_SIGPIPE", "1"))
        write_transcript("@sigpipe %s", sigpipe_disposition());
    return static_cast<int>(env_number("RECORDER_SYSTEM_STATUS", 0));
}

extern "C" void sync() noexcept
{
    write_transcript("@sync");
    if (env_is("RECORDER_SYNC", "hang")) {
        const timespec hour{3600, 0};
        for (;;)
            nanosleep(&hour, nullptr);
    }
}

extern "C" int reboot(int command) noexcept
{
    write_transcript("@reboot 0x%08x", static_cast<unsigned>(command));
    if (env_is("RECORDER_REBOOT", "fail")) {
        errno = EPERM;
        return -1;
    }
    _exit(0);
}
