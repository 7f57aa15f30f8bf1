"""Floods, faults and hostile input: the watchdog keeps running and keeps its
promises, and never crashes."""

import os
import subprocess
import time
import unittest

from harness import (CALL_RECORDER, NAMESPACE, RESTART_SEQUENCE, TAG_DOUBLE_DIR, TAGSIM_LIBRARY,
                     WATCHDOG, StandInWatchdog, WatchdogTest, count_lines,
                     handler_line, read_transcript, target_command, wait_for, write_tag)

STORE_GONE = "tagsim: tag store %s is gone; no more changes will be reported\n"
REFUSED = "tagsim: tag RESET does not hold a number; not reported\n"


def count_lines_in(lines):
    return [line for line in lines if line.startswith("current count")]


class Storm(WatchdogTest):
    """Four threads of the library call the handler at once."""

    def test_final_one_after_the_storm_counts_on_and_restarts(self):
        run = self.run_watchdog("RESET", "5", script="1:1 2:storm 2:1", passes=30)
        self.assertEqual(run.transcript[-len(RESTART_SEQUENCE) - 1:],
                         ["current count = 5"] + RESTART_SEQUENCE)

    def test_final_zero_after_the_storm_stops_the_count(self):
        run = self.run_watchdog("RESET", "5", script="1:1 2:storm 2:0", passes=8)
        self.assertEqual((count_lines_in(run.transcript)[-1], run.calls("@reboot")),
                         ("current count = 1", []))

    def test_storm_calls_all_return_zero(self):
        run = self.run_watchdog("RESET", "5", script="1:storm", passes=3)
        self.assertEqual(run.calls("@handler"), [])


class StandardStreams(WatchdogTest):
    def run_closed(self, redirection, env=None):
        command = NAMESPACE + ["sh", "-c", 'exec "$@" ' + redirection, "sh"] + target_command(
            WATCHDOG, ["RESET", "2"], preload=CALL_RECORDER, library_dir=TAG_DOUBLE_DIR)
        extra = {"TAGDOUBLE_SCRIPT": "1:1", "RECORDER_PASSES": "20"}
        extra.update(env or {})
        with open(self.transcript, "ab") as output:
            subprocess.run(command, env=self.environment(extra), timeout=60, check=True,
                           stdout=output, stderr=subprocess.DEVNULL)
        return read_transcript(self.transcript)

    def test_closed_stdout_is_never_handed_to_a_library_file(self):
        kept = os.path.join(self.workdir.name, "library-device")
        transcript = self.run_closed(">&-", {"TAGDOUBLE_KEEP_OPEN": kept})
        with open(kept, "rb") as device:
            self.assertEqual((device.read(), transcript[-4:]), (b"", RESTART_SEQUENCE[1:]))

    def test_closed_stderr_at_start_still_counts_and_restarts(self):
        transcript = self.run_closed("2>&-")
        self.assertEqual(transcript[-6:], ["current count = 2"] + RESTART_SEQUENCE)


class RealStore(WatchdogTest):
    """The stand-in library on a real store, with the process calls recorded."""

    def setUp(self):
        super().setUp()
        self.store = os.path.join(self.workdir.name, "tags")
        os.mkdir(self.store)
        write_tag(self.store, "RESET", "0")
        self.watchdogs = []

    def tearDown(self):
        for watchdog in self.watchdogs:
            watchdog.stop()
        super().tearDown()

    def start(self, wdt_time="2", **options):
        watchdog = StandInWatchdog(self, self.store, "RESET", wdt_time, **options)
        self.watchdogs.append(watchdog)
        return watchdog

    def tag(self, name="RESET"):
        return os.path.join(self.store, name)

    def assertRestarts(self, watchdog):
        self.assertEqual((watchdog.wait_for_end(), watchdog.transcript()[-5:]),
                         (0, RESTART_SEQUENCE))


class Floods(RealStore):
    def flood(self, last):
        for n in range(10000):
            write_tag(self.store, "RESET", str(n % 2))
        write_tag(self.store, "RESET", last)

    def test_flood_ending_in_one_is_followed_by_counting_and_restart(self):
        watchdog = self.start(wdt_time="3")
        self.flood("1")
        self.assertRestartsAmidFlood(watchdog, count_lines(1, 3))

    def test_flood_ending_in_zero_leaves_the_watchdog_silent(self):
        watchdog = self.start(wdt_time="30")
        self.flood("0")
        settled = self.wait_until_quiet(watchdog)
        time.sleep(2.2)  # two passes
        later = watchdog.transcript()[settled:]
        handler_lines = [line for line in watchdog.transcript() if line.startswith("on_")]
        self.assertEqual((handler_lines[-1], count_lines_in(later), watchdog.running()),
                         (handler_line("0.000000"), [], True))

    @staticmethod
    def wait_until_quiet(watchdog):
        """Waits until the library has worked off the flood: no handler line
        for half a second. Returns the transcript's length then."""
        length, since = -1, time.monotonic()
        while time.monotonic() - since < 0.5:
            handled = len([line for line in watchdog.transcript() if line.startswith("on_")])
            if handled != length:
                length, since = handled, time.monotonic()
            time.sleep(0.05)
        return len(watchdog.transcript())

    def test_count_after_a_flood_of_ones_is_not_disturbed(self):
        watchdog = self.start(wdt_time="4")
        for _ in range(3000):
            write_tag(self.store, "RESET", "1")
        self.assertRestartsAmidFlood(watchdog, count_lines(1, 4))
        self.assertEqual(count_lines_in(watchdog.transcript()), count_lines(1, 4))

    def assertRestartsAmidFlood(self, watchdog, last_counts):
        """On a slow machine the passes may sample enough ones while the flood
        still runs: the restart then comes, rightly, in its middle, and the
        flood's own handler lines may stand anywhere in and after it."""
        status = watchdog.wait_for_end()
        transcript = watchdog.transcript()
        end = transcript.index(RESTART_SEQUENCE[0])
        self.assertEqual((status, count_lines_in(transcript[:end])[-len(last_counts):],
                          [line for line in transcript[end:]
                           if not line.startswith("on_reset_tag: ")]),
                         (0, last_counts, RESTART_SEQUENCE))


class Faults(RealStore):
    def test_deleted_and_rewritten_tag_is_reported_again(self):
        watchdog = self.start()
        os.unlink(self.tag())
        write_tag(self.store, "RESET", "1")
        self.assertRestarts(watchdog)

    def test_directory_moved_in_place_of_the_tag_is_ignored(self):
        watchdog = self.start()
        os.unlink(self.tag())
        os.mkdir(self.tag(".dir"))
        os.rename(self.tag(".dir"), self.tag())
        os.rmdir(self.tag())
        # The 1 arrives by a rename: however late the library reads after the
        # directory's move, it finds no file, a directory or the whole value,
        # never a file still being written.
        write_tag(self.store, ".RESET.new", "1")
        os.rename(self.tag(".RESET.new"), self.tag())
        self.assertRestarts(watchdog)
        self.assertEqual(watchdog.errors(), "")

    def test_symbolic_link_to_a_one_outside_the_store_is_not_followed(self):
        watchdog = self.start(wdt_time="1")
        self.replace_tag_by_link_to_a_one()
        handler_lines = [line for line in watchdog.transcript() if line.startswith("on_")]
        # The link's event may be merged with the write: the 0 may come twice.
        self.assertEqual(set(handler_lines), {handler_line("0.000000")})

    def test_watchdog_restarts_after_a_link_was_refused(self):
        watchdog = self.start(wdt_time="1")
        self.replace_tag_by_link_to_a_one()
        write_tag(self.store, "RESET", "1")
        self.assertRestarts(watchdog)

    def replace_tag_by_link_to_a_one(self):
        """Moves a link to a file holding 1 onto the tag, then writes a real 0
        and waits for it: reports come in order, so a followed link's 1 would
        come before that 0."""
        write_tag(self.workdir.name, "outside", "1")
        os.symlink(os.path.join(self.workdir.name, "outside"), self.tag(".link"))
        os.rename(self.tag(".link"), self.tag())
        os.unlink(self.tag())
        write_tag(self.store, "RESET", "0")
        self.watchdogs[-1].wait_for_line(handler_line("0.000000"))

    def test_unreadable_tag_is_named_on_stderr_and_read_again_once_readable(self):
        watchdog = self.start(wrapper=["setpriv", "--bounding-set",
                                       "-dac_override,-dac_read_search"])
        os.chmod(self.tag(), 0)
        write_tag(self.store, "RESET", "1")
        wait_for(watchdog.errors, what="the message")
        os.chmod(self.tag(), 0o644)
        write_tag(self.store, "RESET", "1")
        self.assertRestarts(watchdog)
        self.assertEqual(watchdog.errors(), "tagsim: cannot read tag RESET: Permission denied\n")

    def test_removed_store_is_named_once_and_the_watchdog_sleeps_on(self):
        watchdog = self.start()
        os.unlink(self.tag())
        os.rmdir(self.store)
        wait_for(watchdog.errors, what="the message")
        time.sleep(2.2)  # two passes: a second message or an end would show by now
        self.assertEqual((watchdog.running(), watchdog.errors()),
                         (True, STORE_GONE % self.store))


class HostileInput(RealStore):
    def refusal_of(self, content):
        """Writes the content and returns, once the library has refused it,
        the handler lines and standard error it brought."""
        watchdog = self.start(wdt_time="30")
        with open(self.tag(), "wb") as tag:
            tag.write(content)
        wait_for(watchdog.errors, what="the refusal")
        lines = [line for line in watchdog.transcript() if line.startswith("on_")]
        return lines, watchdog.stop()

    def test_megabyte_of_digits_is_refused(self):
        self.assertEqual(self.refusal_of(b"1" * (1 << 20)), ([], REFUSED))

    def test_binary_bytes_are_refused(self):
        self.assertEqual(self.refusal_of(bytes(range(256))), ([], REFUSED))

    def test_number_with_trailing_garbage_is_refused(self):
        self.assertEqual(self.refusal_of(b"1 trailing"), ([], REFUSED))

    def test_number_too_large_is_refused(self):
        self.assertEqual(self.refusal_of(b"1e309"), ([], REFUSED))

    def test_number_too_small_is_refused_rather_than_read_as_zero(self):
        self.assertEqual(self.refusal_of(b"1e-400"), ([], REFUSED))

    def test_negative_zero_resets_and_prints_with_its_sign(self):
        watchdog = self.start(wdt_time="30")
        write_tag(self.store, "RESET", "1")
        watchdog.wait_for_line("current count = 1")
        write_tag(self.store, "RESET", "-0")
        watchdog.wait_for_line(handler_line("-0.000000"))
        # The pass under way may have read the 1 before; the one after its
        # sleep has surely read the -0, and must not count.
        def passes_after_reset():
            transcript = watchdog.transcript()
            return transcript[transcript.index(handler_line("-0.000000")):]
        wait_for(lambda: passes_after_reset().count("@sleep 1") >= 2, what="two passes")
        later = passes_after_reset()
        first_sleep = later.index("@sleep 1")
        self.assertEqual(count_lines_in(later[first_sleep:later.index("@sleep 1", first_sleep + 1)]),
                         [])

    def test_hexadecimal_one_counts(self):
        watchdog = self.start(wdt_time="1")
        write_tag(self.store, "RESET", "0x1p0")
        self.assertRestarts(watchdog)

    def test_hostile_names_fail_to_open_byte_for_byte(self):
        for name in ("t\udcff\udcfeg", "line\nbreak", "n" * 4096, "../tags/RESET"):
            with self.subTest(name=name[:12]):
                run = self.run_watchdog(name, library_dir=os.path.dirname(TAGSIM_LIBRARY),
                                        env={"TAGSIM_DIR": self.store})
                self.assertEqual((run.status, "\n".join(run.output)),
                                 (254, "Fail to open tag: " + name))
                os.unlink(self.transcript)


if __name__ == "__main__":
    unittest.main()
