"""The handler that turns notifications of the watched tag into the flag."""

from harness import TIMEOUT_LINE, WatchdogTest, count_lines
from simulator.device import TAG, handler_line

ONE, ZERO, COUNT_1 = handler_line("1.000000"), handler_line("0.000000"), count_lines(1, 1)[0]


class Handler(WatchdogTest):
    def test_only_zero_and_one_of_the_watched_tag_act_and_every_call_returns_zero(self):
        scripts = {
            # Zero resets the count, negative zero too with its sign, even while idle.
            "1:1 2:0": [ONE, COUNT_1, ZERO],
            "1:1 2:-0.0": [ONE, COUNT_1, handler_line("-0.000000")],
            "1:0": [ZERO],
            # Two changes nothing; a second one prints without disturbing the count.
            "1:1 2:2": [ONE, *count_lines(1, 3), TIMEOUT_LINE],
            "1:1 2:1": [ONE, COUNT_1, ONE, *count_lines(2, 3), TIMEOUT_LINE],
            # Values near one, another tag's, and one before the handle is stored.
            "1:0.5 1:1.0000001 1:nan 1:inf 1:-1": [],
            "1:1:other 2:0:other": [],
            "0:1": [],
        }
        found = {}
        for script in scripts:
            run = self.run_watchdog(TAG, "3", script=script, passes=12)
            # A non-zero result of the handler is recorded as "@handler ...";
            # "@delivered STEP" shows that each step had its chance.
            found[script] = (run.output + run.calls("@handler"), run.calls("@delivered"))
        self.assertEqual(found, {script: (lines, ["@delivered " + step for step in script.split()])
                                 for script, lines in scripts.items()})

    def test_handle_with_high_bit_set_is_matched(self):
        run = self.run_watchdog(TAG, "1", script="1:1", passes=5,
                                env={"TAGDOUBLE_HANDLE": "0xfffffffe"})
        self.assertEqual(run.output[-1], TIMEOUT_LINE)
