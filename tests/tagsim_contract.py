"""What the watchdog's suites rely on in the stand-in tag library, with real
files in a real store."""

import errno
import os
import tempfile
import unittest

from harness import (TAGSIM_LIBRARY, TAGSIM_PROBE, Contained, StandInWatchdog, WatchdogTest,
                     check_no_sanitizer_report, emulated, new_store, target_command,
                     wait_delivered, write_tag)
from simulator.device import TAG, init_failure_line, run


class Store(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="tagsim-test-")
        self.addCleanup(self.workdir.cleanup)
        self.store = new_store(self.workdir.name)

    def probe(self, *args):
        """Runs the probe to its end and returns its standard output's lines."""
        finished = run(target_command(TAGSIM_PROBE, args), capture_output=True, timeout=20,
                       env=dict(os.environ, TAGSIM_DIR=self.store), check=False, text=True)
        check_no_sanitizer_report(finished.stderr)
        return finished.stdout.splitlines()


class InitAndOpen(Store):
    def test_only_the_headers_size_and_mode_initialise(self):
        self.assertEqual([self.probe("init", wrong) for wrong in ("ok", "size", "mode")],
                         [["init 0"]] + [["init %d" % -errno.EINVAL]] * 2)

    def test_only_a_regular_file_named_without_a_slash_gets_a_handle_and_only_after_init(self):
        os.mkdir(os.path.join(self.store, "sub"))
        write_tag(os.path.join(self.store, "sub"), TAG, "0")
        os.symlink(TAG, os.path.join(self.store, "LINK"))
        self.assertEqual((self.probe("open", TAG), self.probe(
            "opened", "", ".", "..", "sub", "sub/" + TAG, "MISSING", "LINK", TAG)),
                         (["handle 0"], ["handle 0"] * 7 + ["handle 1"]))


class Probe(Contained):
    """A running probe that watches the tag, its lines followed."""

    def __init__(self, store):
        self.fence = os.path.join(os.path.dirname(store), "fence")
        open(self.fence, "w", encoding="utf-8").close()
        super().__init__(target_command(TAGSIM_PROBE, ("watch", TAG)),
                         env=dict(os.environ, TAGSIM_DIR=store, TAGSIM_FENCE=self.fence))
        self.wait_or_end(self.wait_for_line, "ready")
        self.read = len(self.lines)

    def finish(self):
        """Its standard output after the lines read, and its standard error,
        each to its end, once every change written was delivered."""
        wait_delivered(self.fence)
        self.stop()
        return self.lines[self.read:], self.errors

    def stop(self):
        super().stop()
        check_no_sanitizer_report("\n".join(self.errors))


def notification(value):
    return "notify 1 0 %s 0" % value


class Notifications(Store):
    def setUp(self):
        super().setUp()
        write_tag(self.store, TAG, "1")
        self.probe = Probe(self.store)
        self.addCleanup(self.probe.stop)

    def written(self, text):
        write_tag(self.store, TAG, text)
        return self.probe.next_line()

    def test_each_write_and_rename_onto_the_tag_is_reported_with_its_number_and_nothing_else(self):
        # The first write, not the value held at open, is the first report.
        written = {"0\n": "0", " \t0.5 \n": "0.5", "0x1p0": "1", "-0": "-0", "nan": "nan",
                   "-inf": "-inf"}
        reported = [self.written(text) for text in written]
        write_tag(self.store, ".new", "1")
        os.rename(os.path.join(self.store, ".new"), os.path.join(self.store, TAG))
        reported.append(self.probe.next_line())
        write_tag(self.store, "UNWATCHED", "1")
        self.assertEqual((reported, self.probe.finish()),
                         ([notification(value) for value in written.values()]
                          + [notification(1)], ([], [])))

    def test_content_that_is_not_one_number_in_range_and_a_link_are_named_on_stderr_only(self):
        for refused in ("", "abc", "1 2", "1x", "1e309", "1e-400", "\x001", "1\x00",
                        "1" * (1 << 20)):
            write_tag(self.store, TAG, refused)
        os.symlink("/proc/self/environ", os.path.join(self.store, ".link"))
        os.rename(os.path.join(self.store, ".link"), os.path.join(self.store, TAG))
        output, errors = self.probe.finish()
        self.assertEqual((output, set(errors)), ([], {
            "tagsim: tag %s does not hold a number; not reported" % TAG,
            "tagsim: cannot read tag %s: Too many levels of symbolic links" % TAG}))

    def test_last_of_a_burst_of_writes_is_reported_last(self):
        for n in range(2000):
            write_tag(self.store, TAG, str(n % 2))
        write_tag(self.store, TAG, "7")
        # Merged events may repeat the last value, but nothing may follow it.
        self.assertEqual(self.probe.finish()[0][-1], notification(7))


class WatchdogWithStandIn(WatchdogTest):
    """The real watchdog and the stand-in library, with the calls recorded."""

    def test_missing_store_is_named_with_tagsim_dir_on_stderr_only(self):
        missing = os.path.join(self.workdir.name, "no-such-store")
        ran = self.run_watchdog(TAG, library_dir=os.path.dirname(TAGSIM_LIBRARY),
                                env={"TAGSIM_DIR": missing})
        self.assertEqual((ran.output, ran.status, ran.stderr.splitlines()),
                         ([init_failure_line(-errno.ENOENT)], 255,
                          ["tagsim: cannot use the tag store %s: No such file or directory "
                           "(make it, or name another with TAGSIM_DIR)" % missing]))

    @unittest.skipIf(emulated(), "the emulator adds threads of its own")
    def test_idle_library_thread_does_not_wake_up_while_the_watchdog_passes(self):
        watchdog = StandInWatchdog(self, new_store(self.workdir.name), TAG, "3")
        self.addCleanup(watchdog.stop)
        pid = watchdog.pid()
        status = "/proc/%d/task/%s/status" % (pid, sorted(os.listdir("/proc/%d/task" % pid),
                                                          key=int)[-1])
        watchdog.wait_delivered()
        before = self.sleeps(status)
        watchdog.wait_for_passes(3, since=len(watchdog.transcript()))
        # One sleep at most: the thread's return to its blocking read after
        # the fence. A thread that polled each second would show two or more.
        self.assertLessEqual(self.sleeps(status) - before, 1)

    @staticmethod
    def sleeps(status):
        with open(status, encoding="ascii") as lines:
            return next(int(line.split()[1]) for line in lines
                        if line.startswith("voluntary_ctxt_switches"))
