"""Runs the watchdog and the stand-in library's probe from outside.

Every program runs inside a private PID namespace (its own first process is a
shell that waits for it), so that neither a restart nor a killall can reach
this machine even if a test double fails to load. The watchdog's standard
output and the test doubles' records share one transcript file, in the order
in which they happened.

The build tells where its files are through the environment: WATCHDOG,
TAG_DOUBLE_DIR, CALL_RECORDER, TAGSIM_PROBE and, for a target build run under
user-mode emulation, TARGET_EMULATOR (the emulator's command line;
TARGET_EMULATOR_NEEDED is ON where the build must name one).
"""

import dataclasses
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest

from simulator.board import BOARDS, WDT_TIME, Board, expected_log
from simulator.device import (BOOT, RESIDENTS, TAG, TIMEOUT_FACTOR, TIMEOUT_LINE, Contained,
                              count_lines, handler_line, new_store, run, wait_for,
                              wait_for_echo, write_tag)

WATCHDOG = os.environ.get("WATCHDOG", "")
TAG_DOUBLE_DIR = os.environ.get("TAG_DOUBLE_DIR", "")
CALL_RECORDER = os.environ.get("CALL_RECORDER", "")
TAGSIM_PROBE = os.environ.get("TAGSIM_PROBE", "")
TAGSIM_LIBRARY = os.environ.get("TAGSIM_LIBRARY", "")
EMULATOR = shlex.split(os.environ.get("TARGET_EMULATOR", ""))

USAGE = ("This program will reboot the system when the specified tag value is changed "
         "to 1 at keep the turn on status for 10 seconds.\n\n"
         "Usage: {name} <tag_name> [wdt_time]\n"
         "\ttag_name: Specify the name of the tag for monitor.\n"
         "\twdt_time: The watchdog timeout value, in seconds.\n")

RESTART_SEQUENCE = ([TIMEOUT_LINE] + ["@system killall " + name for name in RESIDENTS]
                    + ["@sync", "@reboot 0x01234567"])

# Sets argv exactly as given, including an empty one, which exec from Python
# and the shell refuse.
EXEC_EXACT_ARGV = (
    "import ctypes, os, sys\n"
    "argv = [os.fsencode(a) for a in sys.argv[2:]]\n"
    "array = (ctypes.c_char_p * (len(argv) + 1))(*argv, None)\n"
    "ctypes.CDLL(None).execv(sys.argv[1].encode(), array)\n"
    "sys.exit(127)\n")


# UBSan in a shared library reports on standard error even when told to
# write to a file: every test that reads standard error checks it here.
SANITIZER_MARKS = ("runtime error:", "Sanitizer:", "WARNING: ThreadSanitizer")


def check_no_sanitizer_report(text):
    if any(mark in text for mark in SANITIZER_MARKS):
        raise AssertionError("sanitizer report:\n" + text)
    return text


@dataclasses.dataclass
class Run:
    status: int
    transcript: list
    stderr: str
    seconds: float

    @property
    def output(self):
        """The watchdog's own standard output, without the doubles' records."""
        return [line for line in self.transcript if not line.startswith("@")]

    def calls(self, prefix="@"):
        return [line for line in self.transcript if line.startswith(prefix)]


def emulated():
    return bool(EMULATOR)


def target_command(program, args, preload=None, library_dir=None, argv=None):
    """The command that runs a target program with the given loader settings;
    argv, when given, is the program's exact argument vector instead of args."""
    settings = []
    if preload:
        settings.append("LD_PRELOAD=" + preload)
    if library_dir:
        settings.append("LD_LIBRARY_PATH=" + library_dir)
    if EMULATOR:
        command = list(EMULATOR)
        for setting in settings:
            command += ["-E", setting]
        if argv is not None:
            command += ["-0", argv[0]]
            args = argv[1:]
        return command + [program] + list(args)
    if argv is not None:
        return ["env"] + settings + ["python3", "-c", EXEC_EXACT_ARGV, program] + list(argv)
    return ["env"] + settings + [program] + list(args)


def read_lines(path):
    with open(path, "rb") as transcript:
        return transcript.read().decode("utf-8", "surrogateescape").splitlines()


class WatchdogTest(unittest.TestCase):
    """Runs the watchdog with the tag library double and the call recorder."""

    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="wdtag-test-")
        self.addCleanup(self.workdir.cleanup)
        self.transcript = os.path.join(self.workdir.name, "transcript")

    def environment(self, extra):
        env = {name: value for name, value in os.environ.items()
               if not name.startswith(("TAGDOUBLE_", "RECORDER_"))}
        return dict(env, TEST_TRANSCRIPT=self.transcript, LC_ALL="C", **extra)

    def run_watchdog(self, *args, script="", passes=None, env=None, argv=None,
                     library_dir=None, timeout=60):
        """Runs to the restart, to the given number of passes, or to an exit,
        on a transcript of its own."""
        extra = dict({"TAGDOUBLE_SCRIPT": script}, **(env or {}))
        if passes is not None:
            extra.setdefault("RECORDER_PASSES", str(passes))
        command = target_command(
            WATCHDOG, args, preload=CALL_RECORDER,
            library_dir=library_dir or TAG_DOUBLE_DIR, argv=argv)
        start = time.monotonic()
        open(self.transcript, "wb").close()
        # Appending, as the doubles do: each write lands after the last.
        with open(self.transcript, "ab") as output:
            finished = run(command, stdout=output, stderr=subprocess.PIPE,
                           env=self.environment(extra), timeout=timeout * TIMEOUT_FACTOR,
                           check=False)
        return Run(finished.returncode, read_lines(self.transcript),
                   check_no_sanitizer_report(finished.stderr.decode("utf-8", "surrogateescape")),
                   time.monotonic() - start)

    def assertRestartedAfter(self, ran, last_lines):
        """The transcript ends with the restart sequence, in the same pass as
        these lines (sleeps between them are left out of the comparison)."""
        self.assertEqual(ran.transcript[-len(RESTART_SEQUENCE):], RESTART_SEQUENCE)
        before = [line for line in ran.transcript[:-len(RESTART_SEQUENCE)]
                  if line != "@sleep 1"]
        self.assertEqual(before[len(before) - len(last_lines):], last_lines)
        self.assertEqual(ran.status, 0, ran.stderr)


def lintian(packages, scratch):
    """lintian with its info and pedantic tags: its status and what it said.
    It leaves its ELF caches in TMPDIR: SCRATCH, which the caller removes.
    Where lintian is not installed, the calling case is skipped."""
    if not shutil.which("lintian"):
        raise unittest.SkipTest("lintian is not installed")
    checked = subprocess.run(["lintian", "--display-info", "--pedantic", "--tag-display-limit",
                              "0", "--fail-on", "error,warning,info,pedantic", *sorted(packages)],
                             capture_output=True, text=True, env=dict(os.environ, TMPDIR=scratch),
                             check=False)
    return checked.returncode, checked.stdout


class StandInWatchdog(Contained):
    """The watchdog with the stand-in library on a real tag store, its process
    calls recorded in the test's transcript; sleep is real. Ready once it
    echoed a write of its tag and every write was delivered."""

    def __init__(self, test, store, *args, env=None, wrapper=()):
        self.test = test
        self.fence = os.path.join(test.workdir.name, "fence")
        open(self.fence, "w", encoding="utf-8").close()
        extra = dict({"TAGSIM_DIR": store, "TAGSIM_FENCE": self.fence}, **(env or {}))
        with open(test.transcript, "ab") as output:
            super().__init__(list(wrapper) + target_command(WATCHDOG, args, preload=CALL_RECORDER),
                             env=test.environment(extra), stdout=output)
        since = len(self.transcript())
        self.wait_or_end(wait_for_echo, store, TAG, lambda: any(
            line.startswith(handler_line("")) for line in self.transcript()[since:]), self.running)
        self.wait_delivered()

    def transcript(self):
        return read_lines(self.test.transcript)

    def wait_for_passes(self, count, since):
        """Waits until COUNT passes began after the transcript's first SINCE
        lines; returns the lines after them."""
        wait_for(lambda: self.transcript()[since:].count("@sleep 1") >= count, 10 + count,
                 what="%d passes" % count)
        return self.transcript()[since:]

    def wait_delivered(self):
        """Once the library has delivered every change written before."""
        wait_delivered(self.fence)

    def stderr(self):
        """Its standard error so far."""
        return check_no_sanitizer_report("".join(line + "\n" for line in self.errors))


def wait_delivered(fence):
    """Waits until the stand-in library has delivered every change written
    before this call: a token written to its TAGSIM_FENCE comes back in
    FENCE.passed once all before it was handled. Written again each second:
    an overflowing event queue may have dropped it."""
    token, written = str(time.monotonic_ns()), [0.0]

    def passed():
        if time.monotonic() - written[0] >= 1:
            write_tag(os.path.dirname(fence), os.path.basename(fence), token)
            written[0] = time.monotonic()
        try:
            with open(fence + ".passed", encoding="utf-8") as answer:
                return answer.read() == token
        except FileNotFoundError:
            return False
    wait_for(passed, what="the library's delivery of every change written")


class Device(Contained):
    """A simulated device (simulator/boot) running the watchdog on its tag,
    its console and standard error followed."""

    def __init__(self, workdir, wdt_time, wrapper=(), watchdog_path=None, program=WATCHDOG):
        self.store = new_store(workdir)
        self.log = os.path.join(workdir, "watchdog.log")
        env = dict(os.environ, TAGSIM_DIR=self.store, LC_ALL="C")
        if watchdog_path is not None:
            env["WATCHDOG_PATH"] = watchdog_path
        # Absolute paths: the watchdog's search path may be one without them.
        programs = list(wrapper) + list(EMULATOR)
        if programs:
            programs[0] = shutil.which(programs[0])
        super().__init__([BOOT, workdir, TAG, str(wdt_time)] + programs + [program],
                         first=True, env=env, stderr=subprocess.STDOUT)
        self.wait_or_end(self.wait_for_line, "device: watchdog running")
        self.logged = len(read_lines(self.log))

    def log_lines(self):
        """The log since the tag was last set, or since the echo that showed
        the watchdog ready."""
        return read_lines(self.log)[self.logged:]

    def wait_for_log(self, line, timeout=20):
        wait_for(lambda: line in self.log_lines(), timeout, what=line)

    def set_tag(self, value):
        self.started, self.logged = time.monotonic(), len(read_lines(self.log))
        write_tag(self.store, TAG, value + "\n")

    def wait_for_end(self):
        status = self.wait(30)
        self.seconds = time.monotonic() - self.started
        return status

    def stop(self):
        status = super().stop()
        check_no_sanitizer_report("\n".join(self.lines))
        return status


class BoardTest(unittest.TestCase):
    """Boots the board KIND with KERNEL (BOARD_KERNEL, armmp unless set), one
    fresh disk a scenario. Each case keeps its console in BOARDS/consoles,
    in the file that its failures name."""
    KIND, KERNEL, LIMIT = "busybox", os.environ.get("BOARD_KERNEL", "armmp"), 180

    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="wdtag-board-")
        self.addCleanup(self.workdir.cleanup)
        self.console = os.path.join(BOARDS, "consoles", "%s.%s.log" % (self.id(), self.KERNEL))
        self.seen = "the board's console is in " + self.console

    def boot(self, scenario, **settings):
        """Boots the board to its end and returns it."""
        board = Board(self.KIND, self.workdir.name)
        self.addCleanup(self.keep_console, board)
        self.addCleanup(board.stop)
        board.boot(scenario, kernel=self.KERNEL, limit=self.LIMIT, **settings).wait_end()
        return board

    def keep_console(self, board):
        os.makedirs(os.path.dirname(self.console), exist_ok=True)
        with open(self.console, "w", encoding="utf-8") as kept:
            kept.write(board.console() + "\n" if board.qemu else "")

    def assertRestartedInTimeWithEveryLine(self, boot, log):
        """A bare restart within wdt_time + 5 s of the first count line that
        stopped every resident program, and in the log the echoes of the
        writes that showed it ready, one handler line for the 1, the count
        lines and the timeout line, last."""
        console = boot.console()
        ready = re.search(r"board: ready after (\d+) writes of 0", console)
        counted = boot.seen_at("board: counting")
        handled = [line for line in log if line.startswith(handler_line(""))]
        echoes = handled.count(handler_line("0.000000"))
        self.assertEqual((boot.bare_restart_faults(), counted is not None,
                          bool(ready) and 1 <= echoes <= int(ready.group(1)),
                          [name for name in RESIDENTS if name + ": stopped by SIGTERM" not in console],
                          handled[echoes:], [line for line in log if line not in handled], log[-1:]),
                         ([], True, True, [], [handler_line("1.000000")], expected_log(WDT_TIME),
                          expected_log(WDT_TIME)[-1:]), self.seen)
        self.assertLessEqual(boot.ended_at - counted, (WDT_TIME + 5) * TIMEOUT_FACTOR, self.seen)

    def assertTrialCountedThenTheServiceRestartedTheBoard(self, boot, log):
        """The trial in a namespace: its count lines and its timeout line,
        both residents still running after it, then the service's own
        watchdog, started again, restarting the board."""
        lines = boot.board_lines()
        trial = [line[len("board: trial: "):] for line in lines
                 if line.startswith("board: trial: ")]
        self.assertEqual(([line for line in trial if line in expected_log(WDT_TIME)],
                          [name for name in RESIDENTS if "board: %s still runs" % name not in lines]),
                         (expected_log(WDT_TIME), []), self.seen)
        self.assertRestartedInTimeWithEveryLine(boot, log)
