"""Floods, faults and hostile input: the watchdog keeps running and keeps its
promises, and never crashes."""

import os
import subprocess

from harness import (CALL_RECORDER, RESTART_SEQUENCE, TAG_DOUBLE_DIR, TAGSIM_LIBRARY,
                     TIMEOUT_FACTOR, WATCHDOG, StandInWatchdog, WatchdogTest, count_lines,
                     handler_line, new_store, read_lines, target_command, wait_for,
                     write_tag)
from simulator import device
from simulator.device import COUNT_PREFIX, TAG, open_failure_line


def only_count_lines(lines):
    return [line for line in lines if line.startswith(COUNT_PREFIX)]


class Storm(WatchdogTest):
    """Four threads of the library call the handler at once; "@handler" is a non-zero result."""

    def test_final_one_after_the_storm_counts_on_and_restarts(self):
        run = self.run_watchdog(TAG, "5", script="1:1 2:storm 2:1", passes=30)
        self.assertEqual((run.transcript[-len(RESTART_SEQUENCE) - 1:], run.calls("@handler")),
                         ([*count_lines(5, 5)] + RESTART_SEQUENCE, []))

    def test_final_zero_after_the_storm_stops_the_count(self):
        run = self.run_watchdog(TAG, "5", script="1:1 2:storm 2:0", passes=8)
        self.assertEqual((only_count_lines(run.transcript)[-1], run.calls("@reboot"),
                          run.calls("@handler")), (count_lines(1, 1)[0], [], []))


class StandardStreams(WatchdogTest):
    def run_closed(self, redirection, env=None):
        command = ["sh", "-c", 'exec "$@" ' + redirection, "sh"] + target_command(
            WATCHDOG, [TAG, "2"], preload=CALL_RECORDER, library_dir=TAG_DOUBLE_DIR)
        extra = dict({"TAGDOUBLE_SCRIPT": "1:1", "RECORDER_PASSES": "20"}, **(env or {}))
        with open(self.transcript, "ab") as output:
            device.run(command, env=self.environment(extra), timeout=60 * TIMEOUT_FACTOR,
                       check=True, stdout=output, stderr=subprocess.DEVNULL)
        return read_lines(self.transcript)

    def test_closed_stdout_is_never_handed_to_a_library_file(self):
        kept = os.path.join(self.workdir.name, "library-device")
        transcript = self.run_closed(">&-", {"TAGDOUBLE_KEEP_OPEN": kept})
        with open(kept, "rb") as device:
            self.assertEqual((device.read(), transcript[-4:]), (b"", RESTART_SEQUENCE[1:]))

    def test_closed_stderr_at_start_still_counts_and_restarts(self):
        transcript = self.run_closed("2>&-")
        self.assertEqual(transcript[-6:], [*count_lines(2, 2)] + RESTART_SEQUENCE)


class RealStore(WatchdogTest):
    """The stand-in library on a real store, with the process calls recorded."""

    def setUp(self):
        super().setUp()
        self.store = new_store(self.workdir.name)

    def start(self, wdt_time="2", **options):
        watchdog = StandInWatchdog(self, self.store, TAG, wdt_time, **options)
        self.addCleanup(watchdog.stop)
        return watchdog

    def tag(self, name=TAG):
        return os.path.join(self.store, name)

    def assertRestarts(self, watchdog):
        self.assertEqual((watchdog.wait(), watchdog.transcript()[-5:]),
                         (0, RESTART_SEQUENCE))


class Floods(RealStore):
    def flood(self, values):
        for value in values:
            write_tag(self.store, TAG, value)

    def test_flood_ending_in_one_is_followed_by_counting_and_restart(self):
        watchdog = self.start(wdt_time="3")
        self.flood(["0", "1"] * 5000 + ["1"])
        self.assertRestartsAmidFlood(watchdog, count_lines(1, 3))

    def test_flood_ending_in_zero_leaves_the_watchdog_silent(self):
        watchdog = self.start(wdt_time="30")
        self.flood(["0", "1"] * 5000 + ["0"])
        watchdog.wait_delivered()
        settled = watchdog.transcript()
        # A pass that read one of the flood's 1s may print its count still; the next ones may not.
        first = len(settled) + watchdog.wait_for_passes(1, since=len(settled)).index("@sleep 1") + 1
        later = watchdog.wait_for_passes(2, since=first)
        handler_lines = [line for line in settled if line.startswith("on_")]
        self.assertEqual((handler_lines[-1], only_count_lines(later), watchdog.running()),
                         (handler_line("0.000000"), [], True))

    def test_count_after_a_flood_of_ones_is_not_disturbed(self):
        watchdog = self.start(wdt_time="4")
        self.flood(["1"] * 3000)
        self.assertRestartsAmidFlood(watchdog, count_lines(1, 4))
        self.assertEqual(only_count_lines(watchdog.transcript()), count_lines(1, 4))

    def assertRestartsAmidFlood(self, watchdog, last_counts):
        """On a slow machine the passes may sample enough ones while the flood
        still runs: the restart then comes, rightly, in its middle, and the
        flood's own handler lines may stand anywhere in and after it."""
        status = watchdog.wait()
        transcript = watchdog.transcript()
        end = transcript.index(RESTART_SEQUENCE[0])
        self.assertEqual((status, only_count_lines(transcript[:end])[-len(last_counts):],
                          [line for line in transcript[end:]
                           if not line.startswith("on_reset_tag: ")]),
                         (0, last_counts, RESTART_SEQUENCE))


class Faults(RealStore):
    def test_directory_moved_in_place_of_the_tag_is_ignored(self):
        watchdog = self.start()
        os.unlink(self.tag())
        os.mkdir(self.tag(".dir"))
        os.rename(self.tag(".dir"), self.tag())
        os.rmdir(self.tag())
        # The 1 arrives by a rename: however late the library reads after the
        # directory's move, it finds no file, a directory or the whole value,
        # never a file still being written.
        write_tag(self.store, "." + TAG + ".new", "1")
        os.rename(self.tag("." + TAG + ".new"), self.tag())
        self.assertRestarts(watchdog)
        self.assertEqual(watchdog.stderr(), "")

    def test_unreadable_tag_is_named_on_stderr_and_read_again_once_readable(self):
        watchdog = self.start(wrapper=["setpriv", "--bounding-set",
                                       "-dac_override,-dac_read_search"])
        os.chmod(self.tag(), 0)
        write_tag(self.store, TAG, "1")
        wait_for(watchdog.stderr, what="the message")
        os.chmod(self.tag(), 0o644)
        write_tag(self.store, TAG, "1")
        self.assertRestarts(watchdog)
        self.assertEqual(watchdog.stderr(), "tagsim: cannot read tag %s: Permission denied\n" % TAG)


class HostileNames(RealStore):
    def test_hostile_names_fail_to_open_byte_for_byte(self):
        for name in ("t\udcff\udcfeg", "line\nbreak", "n" * 4096, "../tags/" + TAG):
            with self.subTest(name=name[:12]):
                run = self.run_watchdog(name, library_dir=os.path.dirname(TAGSIM_LIBRARY),
                                        env={"TAGSIM_DIR": self.store})
                self.assertEqual((run.status, "\n".join(run.output)),
                                 (254, open_failure_line(name)))
