// wdtag_poweroff: restart the machine when a tag is held at 1 for the
// watchdog time. The tag library reports changes on a thread of its own;
// the two sides share only wdt_tag and wdt_count.

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tag_library.h"

static_assert(sizeof(void *) != 4 || sizeof(tag_init_params) == TAG_INIT_PARAMS_SIZE,
              "the library expects a record of its own size on the 32-bit target");
static_assert(sizeof(void *) != 4 || offsetof(tag_init_params, on_change) == 12,
              "the library expects the handler in word 3");
static_assert(sizeof(tag_handle) == 4, "a tag handle is a 32-bit word");

namespace {

constexpr int32_t default_wdt_time = 10;
constexpr const char *program_name = "wdtag_poweroff";
constexpr int64_t sync_limit_ms = 5000;
constexpr long sync_poll_ns = 10L * 1000 * 1000;

std::atomic<tag_handle> wdt_tag{0};
std::atomic<int32_t> wdt_count{0};

static_assert(std::atomic<tag_handle>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "the handler must never wait on a lock");

// Each line must reach a log file or pipe as it is printed: the restart
// discards whatever is still buffered. A static buffer keeps stdio off the heap.
char stdout_buffer[BUFSIZ];

void print_usage(const char *name)
{
    if (name == nullptr || *name == '\0')
        name = program_name;
    printf("This program will reboot the system when the specified tag value is changed "
           "to 1 at keep the turn on status for 10 seconds.\n\n"
           "Usage: %s <tag_name> [wdt_time]\n"
           "\ttag_name: Specify the name of the tag for monitor.\n"
           "\twdt_time: The watchdog timeout value, in seconds.\n",
           name);
}

int32_t on_reset_tag(tag_handle tag, uint32_t /*reserved1*/, const double *value,
                     uint32_t /*reserved2*/)
{
    if (value == nullptr)
        return 0;
    if (tag == wdt_tag.load() && *value == 0.0) {
        printf("%s: KW tag value reset to %lf\n", __func__, *value);
        wdt_count.store(0);
    }
    if (tag == wdt_tag.load() && *value == 1.0) {
        printf("%s: KW tag value reset to %lf\n", __func__, *value);
        wdt_count.store(1);
    }
    return 0;
}

// atoi's reading (blanks, one sign, digits up to the first non-digit), but
// saturated at the 32-bit limits so that every machine gets the same time.
int32_t read_wdt_time(const char *text)
{
    const long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// A closed standard stream would be handed to the next file that the tag
// library opens, and the watchdog's lines would be written into that file.
// dup2 onto itself tells a closed descriptor as fcntl does, and asks for no
// newer C library than the rest of the program (fcntl needs glibc 2.28 on Arm).
void keep_standard_streams_open()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (dup2(fd, fd) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return;
    }
}

void ignore_signal(int /*signal*/) {}

// A handler rather than SIG_IGN: a caught signal is reset for the commands
// that system() runs, an ignored one would be inherited by them.
void survive_closed_output()
{
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

// 64-bit: a long of nanoseconds overflows after two seconds on the target.
int64_t elapsed_ms(const timespec &since)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t{now.tv_sec} - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Storage that hangs must not stop the restart: sync in a child and give it
// a bounded time, as init systems do for their final sync.
void sync_with_time_limit()
{
    // A child of an earlier, failed restart may have finished since.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    const pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "%s: cannot sync before the restart: %m\n", program_name);
        return;
    }
    if (child == 0) {
        sync();
        _exit(0);
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const timespec poll{0, sync_poll_ns};
    while (waitpid(child, nullptr, WNOHANG) == 0 && elapsed_ms(start) < sync_limit_ms)
        nanosleep(&poll, nullptr);
}

// The outcome of a command does not matter: the restart follows regardless.
void run_command(const char *command)
{
    // NOLINTNEXTLINE(cert-env33-c): the restart sequence is shell commands by design.
    if (system(command) != 0) {
    }
}

void restart_system()
{
    puts("Watchdog timeout, reboot system!");
    run_command("killall VirIvedaroZez");
    run_command("killall sysmon");
    sync_with_time_limit();
    if (reboot(RB_AUTOBOOT) != 0)
        fprintf(stderr, "%s: cannot restart the system: %m\n", program_name);
}

} // namespace

int main(int argc, char *argv[])
{
    int32_t wdt_time = default_wdt_time;
    int32_t count = 0;

    keep_standard_streams_open();
    setvbuf(stdout, stdout_buffer, _IOLBF, sizeof stdout_buffer);
    survive_closed_output();

    if (argc < 2 || argc > 3) {
        print_usage(argc > 0 ? argv[0] : nullptr);
        return -1;
    }
    const char *tag_name = argv[1];
    if (argc == 3) {
        wdt_time = read_wdt_time(argv[2]);
        if (wdt_time < 1)
            wdt_time = default_wdt_time;
    }

    tag_init_params params{TAG_INIT_PARAMS_SIZE, 0, 0, on_reset_tag};
    const int32_t result = qm_tag_init(TAG_INIT_MODE, &params, 0);
    if (result != 0) {
        printf("Fail to initialize VAZod SDK! error = %d\n", result);
        return -1;
    }

    wdt_tag.store(qm_tag_open(tag_name, 0));
    if (wdt_tag.load() == 0) {
        printf("Fail to open tag: %s\n", tag_name);
        return -2;
    }

    for (;;) {
        const int32_t previous = count;
        if (wdt_count.load() == 1) {
            if (count < INT32_MAX)
                ++count;
            printf("current count = %d\n", count);
        }
        if (wdt_count.load() == 0)
            count = 0;
        // A count held at its limit must not restart again on every pass.
        if (count == wdt_time && count != previous)
            restart_system();
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's sleep is nanosleep, not SIGALRM.
        sleep(1);
    }
}
