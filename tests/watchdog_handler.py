"""The handler that turns notifications of the watched tag into the flag."""

import unittest

from harness import TIMEOUT_LINE, WatchdogTest, count_lines, handler_line


class Handler(WatchdogTest):
    def run_script(self, script, wdt_time="3", passes=12):
        return self.run_watchdog("RESET", wdt_time, script=script, passes=passes)

    def test_one_and_zero_print_their_lines_and_start_and_reset_the_count(self):
        run = self.run_script("1:1 2:0", passes=6)
        self.assertEqual(run.output, [handler_line("1.000000"), "current count = 1",
                                      handler_line("0.000000")])

    def test_negative_zero_resets_and_prints_its_sign(self):
        run = self.run_script("1:1 2:-0.0", passes=6)
        self.assertEqual(run.output[-1], handler_line("-0.000000"))

    def test_zero_while_idle_still_prints_its_line(self):
        run = self.run_script("1:0", passes=4)
        self.assertEqual(run.output, [handler_line("0.000000")])

    def test_two_while_counting_changes_nothing(self):
        run = self.run_script("1:1 2:2", passes=12)
        self.assertEqual(run.output, [handler_line("1.000000"), *count_lines(1, 3),
                                      TIMEOUT_LINE])

    def test_values_near_one_and_nan_are_ignored(self):
        run = self.run_script("1:0.5 1:1.0000001 1:nan 1:inf 1:-1", passes=6)
        self.assertEqual(run.output, [])

    def test_one_twice_prints_twice_without_disturbing_the_count(self):
        run = self.run_script("1:1 2:1", passes=12)
        self.assertEqual(run.output, [handler_line("1.000000"), "current count = 1",
                                      handler_line("1.000000"), *count_lines(2, 3),
                                      TIMEOUT_LINE])

    def test_other_tag_is_ignored_whatever_its_value(self):
        run = self.run_script("1:1:other 2:0:other", passes=6)
        self.assertEqual(run.output, [])

    def test_notification_before_the_handle_is_stored_is_ignored(self):
        run = self.run_script("0:1", passes=6)
        self.assertEqual(run.output, [])

    def test_every_call_returns_zero(self):
        run = self.run_script("0:1 1:1 1:0 1:2 1:1:other 2:nan", passes=6)
        self.assertEqual(run.calls("@handler"), [])

    def test_handle_with_high_bit_set_is_matched(self):
        run = self.run_watchdog("RESET", "1", script="1:1", passes=5,
                                env={"TAGDOUBLE_HANDLE": "0xfffffffe"})
        self.assertEqual(run.output[-1], TIMEOUT_LINE)


if __name__ == "__main__":
    unittest.main()
