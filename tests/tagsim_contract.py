"""The stand-in tag library's contract, with real files in a real store."""

import os
import tempfile
import unittest

from harness import (RESTART_SEQUENCE, TAGSIM_LIBRARY, TAGSIM_PROBE, Contained,
                     StandInWatchdog, WatchdogTest, check_no_sanitizer_report, count_lines,
                     emulated, handler_line, new_store, target_command, wait_delivered,
                     write_tag)
from simulator.device import run

EINVAL, ENOENT, ENOTDIR = 22, 2, 20


def probe(*args, store):
    """Runs the probe to its end and returns its standard output's lines."""
    env = dict(os.environ, TAGSIM_DIR=store)
    finished = run(target_command(TAGSIM_PROBE, args), env=env, capture_output=True,
                   timeout=20, check=False, text=True)
    check_no_sanitizer_report(finished.stderr)
    return finished.stdout.splitlines()


class Store(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="tagsim-test-")
        self.addCleanup(self.workdir.cleanup)
        self.store = os.path.join(self.workdir.name, "tags")
        os.mkdir(self.store)


class Init(Store):
    def test_only_a_valid_record_on_a_usable_store_initialises_others_fail_with_errno(self):
        write_tag(self.store, "file", "1")
        self.assertEqual([probe("init", how, store=os.path.join(self.store, *name))
                          for how, *name in (("ok",), ("null",), ("size24",), ("nohandler",),
                                             ("ok", "missing"), ("ok", "file"))],
                         [["init 0"]] + [["init %d" % -EINVAL]] * 3
                         + [["init %d" % -ENOENT], ["init %d" % -ENOTDIR]])


class Open(Store):
    def test_open_before_init_gives_no_handle(self):
        write_tag(self.store, "RESET", "0")
        self.assertEqual(probe("open", "RESET", store=self.store), ["handle 0"])

    def test_names_that_could_leave_the_store_a_missing_tag_and_a_link_give_no_handle(self):
        os.mkdir(os.path.join(self.store, "sub"))
        write_tag(os.path.join(self.store, "sub"), "RESET", "0")
        write_tag(self.workdir.name, "outside", "1")
        os.symlink(os.path.join(self.workdir.name, "outside"), os.path.join(self.store, "LINK"))
        lines = probe("opened", "", ".", "..", "sub/RESET", "sub", "MISSING", "LINK",
                      store=self.store)
        self.assertEqual(lines, ["handle 0"] * 7)

    def test_each_name_up_to_255_bytes_gets_a_handle_of_its_own_and_256_none(self):
        for name in ("A", "B", "n" * 255):
            write_tag(self.store, name, "0")
        a, b, again, longest, too_long = probe("opened", "A", "B", "A", "n" * 255, "n" * 256,
                                               store=self.store)
        self.assertEqual((a == again, len({a, b, longest}), "handle 0" in (a, b, longest),
                          too_long), (True, 3, False, "handle 0"))


class Probe(Contained):
    """A running probe that watches tags, its lines followed."""

    def __init__(self, store, *names):
        self.fence = os.path.join(os.path.dirname(store), "fence")
        open(self.fence, "w", encoding="utf-8").close()
        super().__init__(target_command(TAGSIM_PROBE, ("watch",) + names),
                         env=dict(os.environ, TAGSIM_DIR=store, TAGSIM_FENCE=self.fence))
        self.handles = self.ready(lambda: [line.split()[1] for line in iter(self.next_line, "ready")])

    def notification(self, index, value):
        return "notify %s 0 %s 0" % (self.handles[index], value)

    def final_errors(self):
        """Its standard error to the end, once every change written was delivered."""
        wait_delivered(self.fence)
        self.stop()
        return self.errors

    def stop(self):
        super().stop()
        check_no_sanitizer_report("\n".join(self.errors))


class Notifications(Store):
    def setUp(self):
        super().setUp()
        write_tag(self.store, "RESET", "1")
        write_tag(self.store, "OTHER", "0")
        self.probe = Probe(self.store, "RESET", "OTHER")
        self.addCleanup(self.probe.stop)

    def written(self, text):
        write_tag(self.store, "RESET", text)
        return self.probe.next_line()

    def test_first_write_is_the_first_report_not_the_value_held_at_open(self):
        # Events arrive in order: a report of the value held at open would
        # come before the report of this first write.
        self.assertEqual(self.written("0\n"), self.probe.notification(0, "0"))

    def test_each_number_is_reported_with_its_value_blanks_signs_and_all(self):
        written = {" \t0.5 \n": "0.5", "0x1p0": "1", "-0": "-0", "nan": "nan", "-inf": "-inf"}
        self.assertEqual([self.written(text) for text in written],
                         [self.probe.notification(0, value) for value in written.values()])

    def test_rename_a_directory_in_its_place_a_new_file_and_another_tag_are_each_seen(self):
        tag = os.path.join(self.store, "RESET")
        write_tag(self.store, ".RESET.new", "1")
        os.rename(os.path.join(self.store, ".RESET.new"), tag)
        renamed = self.probe.next_line()
        os.unlink(tag)
        os.mkdir(tag + ".dir")
        os.rename(tag + ".dir", tag)
        os.rmdir(tag)
        write_tag(self.store, "OTHER", "1")
        self.assertEqual((renamed, self.probe.next_line(), self.written("0"), self.probe.errors),
                         (self.probe.notification(0, "1"), self.probe.notification(1, "1"),
                          self.probe.notification(0, "0"), []))

    def test_unwatched_and_refused_content_report_nothing(self):
        write_tag(self.store, "UNWATCHED", "1")
        for refused in ("", "abc", "1 2", "1x", "1e309", "1e-400", "\x001", "1" * (1 << 20),
                        "".join(map(chr, range(1, 128)))):
            write_tag(self.store, "RESET", refused)
        self.assertEqual(self.written("0"), self.probe.notification(0, "0"))

    def test_refused_content_is_named_once_on_stderr(self):
        write_tag(self.store, "RESET", "1e-400")
        self.assertEqual(self.probe.final_errors(),
                         ["tagsim: tag RESET does not hold a number; not reported"])

    def test_symbolic_link_renamed_onto_the_tag_is_not_followed(self):
        write_tag(self.workdir.name, "outside", "1")
        link = os.path.join(self.store, ".link")
        os.symlink(os.path.join(self.workdir.name, "outside"), link)
        os.rename(link, os.path.join(self.store, "RESET"))
        # Reports come in order: one for the link would come before these.
        write_tag(self.store, "OTHER", "1")
        os.unlink(os.path.join(self.store, "RESET"))
        self.assertEqual((self.probe.next_line(), self.written("1")),
                         (self.probe.notification(1, "1"), self.probe.notification(0, "1")))

    def test_symbolic_link_in_place_of_the_tag_is_named_on_stderr(self):
        os.symlink("/proc/self/environ", os.path.join(self.store, ".link"))
        os.rename(os.path.join(self.store, ".link"), os.path.join(self.store, "RESET"))
        self.assertEqual(self.probe.final_errors(), [
            "tagsim: cannot read tag RESET: Too many levels of symbolic links"])

    def test_last_of_a_burst_of_writes_is_reported_last(self):
        for n in range(2000):
            write_tag(self.store, "RESET", str(n % 2))
        write_tag(self.store, "RESET", "7")
        last = self.probe.notification(0, "7")
        while self.probe.next_line() != last:
            pass
        # Merged events may repeat the last value, but nothing may follow it.
        write_tag(self.store, "OTHER", "1")
        marker = self.probe.notification(1, "1")
        after = []
        while (line := self.probe.next_line()) != marker:
            after.append(line)
        self.assertEqual(set(after) - {last}, set())

    def test_removed_store_is_named_once_on_stderr(self):
        for name in os.listdir(self.store):
            os.unlink(os.path.join(self.store, name))
        os.rmdir(self.store)
        self.assertEqual(self.probe.final_errors(), ["tagsim: tag store %s is gone; no more changes "
                                             "will be reported" % self.store])

    def test_nothing_else_reaches_stdout(self):
        self.written("1")
        self.probe.stop()
        self.assertEqual(self.probe.lines[self.probe.read:], [])


class WatchdogWithStandIn(WatchdogTest):
    """The real watchdog and the stand-in library, with the calls recorded."""

    def test_missing_store_is_named_with_tagsim_dir_on_stderr_only(self):
        missing = os.path.join(self.workdir.name, "no-such-store")
        run = self.run_watchdog("RESET", library_dir=os.path.dirname(TAGSIM_LIBRARY),
                                env={"TAGSIM_DIR": missing})
        self.assertEqual((run.output, run.status, run.stderr.splitlines()),
                         (["Fail to initialize VAZod SDK! error = -2"], 255,
                          ["tagsim: cannot use the tag store %s: No such file or directory "
                           "(make it, or name another with TAGSIM_DIR)" % missing]))

    def start(self, wdt_time):
        store = new_store(self.workdir.name)
        watchdog = StandInWatchdog(self, store, "RESET", wdt_time)
        self.addCleanup(watchdog.stop)
        return store, watchdog

    # wdt_time 3: the 0 written after the first count line has two whole
    # passes to arrive, even on a busy machine.
    def test_zero_read_by_a_pass_cancels_and_a_later_one_counts_from_one_to_the_restart(self):
        store, watchdog = self.start("3")
        write_tag(store, "RESET", "1\n")
        watchdog.wait_for_line("current count = 1")
        write_tag(store, "RESET", "0\n")
        zero = watchdog.wait_for_line(handler_line("0.000000"))
        # The first of two passes begun after the 0 has read it whole.
        watchdog.wait_for_passes(2, since=zero)
        write_tag(store, "RESET", "1\n")
        status = watchdog.wait()
        transcript = [line for line in watchdog.transcript()[zero:] if line != "@sleep 1"]
        self.assertEqual((transcript, status),
                         ([handler_line("0.000000"), handler_line("1.000000"), *count_lines(1, 3)]
                          + RESTART_SEQUENCE, 0))

    @unittest.skipIf(emulated(), "the emulator adds threads of its own")
    def test_idle_library_thread_does_not_wake_up_while_the_watchdog_passes(self):
        _, watchdog = self.start("3")
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
