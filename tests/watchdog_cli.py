"""Command line, start-up failures and the calls into the tag library."""

import os
import re

from harness import USAGE, WatchdogTest, count_lines, emulated, handler_line
from simulator.device import ROOT, TAG, init_failure_line, open_failure_line

with open(os.path.join(ROOT, "include", "tag_library.h"), encoding="utf-8") as header:
    HEADER = dict(re.findall(r"(TAG_INIT_\w+) = (\d+)", header.read()))


class Usage(WatchdogTest):
    def test_no_arguments_print_usage_with_invocation_name_and_exit_with_255(self):
        run = self.run_watchdog(argv=["/opt/bin/wdt"])
        self.assertEqual(("\n".join(run.output) + "\n", run.status),
                         (USAGE.format(name="/opt/bin/wdt"), 255))

    def test_three_arguments_exit_with_255_without_touching_library(self):
        run = self.run_watchdog(TAG, "10", "extra")
        self.assertEqual((run.status, run.calls()), (255, []))

    def test_empty_or_missing_program_name_is_replaced_in_usage(self):
        # The emulator always passes a program name.
        runs = [self.run_watchdog(argv=argv) for argv in [[""]] + ([] if emulated() else [[]])]
        self.assertEqual([("\n".join(run.output) + "\n", run.status) for run in runs],
                         [(USAGE.format(name="wdtag_poweroff"), 255)] * len(runs))


class StartUp(WatchdogTest):
    def test_library_called_with_the_headers_mode_and_size_then_open_with_name_printing_nothing(self):
        run = self.run_watchdog(TAG, passes=3)
        self.assertEqual((run.calls("@qm_tag"), run.output),
                         (["@qm_tag_init %s {%s 0 0 handler} 0" % (
                             HEADER["TAG_INIT_MODE"], HEADER["TAG_INIT_PARAMS_SIZE"]),
                           "@qm_tag_open %s 0" % TAG], []))

    def test_init_failure_prints_signed_code_exits_255_and_never_opens_the_tag(self):
        runs = [self.run_watchdog(TAG, env={"TAGDOUBLE_INIT_RESULT": str(code)})
                for code in (-5, 3)]
        self.assertEqual([(run.output, run.status, run.calls("@qm_tag_open")) for run in runs],
                         [([init_failure_line(code)], 255, []) for code in (-5, 3)])

    def test_open_failure_names_the_tag_byte_for_byte_and_exits_254(self):
        name = "tag\udcff\udcfe with\nnewline"
        run = self.run_watchdog(name, env={"TAGDOUBLE_HANDLE": "0"})
        # The double's record of the call ("@qm_tag_open NAME 0") breaks at the newline too.
        self.assertEqual((run.output, run.status),
                         (["newline 0"] + open_failure_line(name).split("\n"), 254))


class WatchdogTime(WatchdogTest):
    """How the second argument sets the number of passes before the restart."""

    def restarts_after(self, wdt_time, passes=20):
        """The count lines before the restart, or None without one; the 1
        was delivered in either case."""
        run = self.run_watchdog(TAG, wdt_time, script="1:1", passes=passes)
        self.assertEqual(run.calls("@delivered"), ["@delivered 1:1"])
        counted = [line for line in run.output if line in count_lines(1, passes)]
        return len(counted) if run.calls("@reboot") else None

    def test_each_time_is_read_as_a_leading_number_and_ten_replaces_one_below_one(self):
        times = {"0": 10, "-5": 10, "abc": 10, "7x": 7, " \t+12": 12, "-4294967297": 10}
        self.assertEqual({text: self.restarts_after(text) for text in times}, times)

    def test_values_above_32_bits_and_huge_ones_give_no_restart_within_14_passes(self):
        # 2**32 + 10 would wrap to 10 on a 64-bit machine.
        self.assertEqual([self.restarts_after(text, passes=14)
                          for text in ("4294967306", "9" * 100 * 1024)], [None, None])

    def test_one_restarts_after_the_first_count_line(self):
        run = self.run_watchdog(TAG, "1", script="1:1", passes=5)
        self.assertRestartedAfter(run, [handler_line("1.000000"), "@delivered 1:1",
                                        *count_lines(1, 1)])
