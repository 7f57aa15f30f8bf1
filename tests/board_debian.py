"""The armhf package installed with dpkg in a Debian root with systemd, on an
emulated Arm board: its unit starts it at boot, it restarts the board for
real, and the journal on the board's disk holds every line afterwards."""

import re
import unittest

from board import TIMEOUT_FACTOR, WDT_TIME, BoardTest, expected_log
from harness import handler_line


class InstalledPackage(BoardTest):
    KIND, LIMIT = "debian", 600

    # The package enabled its own unit when dpkg installed it; the board set
    # only the tag and the time in its settings file.
    def test_unit_starts_at_boot_and_restarts_the_board_with_its_journal_complete(self):
        boot = self.boot("hold")
        self.assertEqual(boot.bare_restart_faults(), [], boot.console())
        self.assertEqual([line for line in boot.board_lines() if not line.startswith("board: c")],
                         ["board: status 0: active", "board: oom_score_adj -1000"])
        self.assertLessEqual(boot.ended_at - boot.seen_at("board: counting"),
                             (WDT_TIME + 5) * TIMEOUT_FACTOR)
        writes = int(re.search(r"counting after (\d+) writes", boot.console()).group(1))
        journal = boot.journal("wdtag-poweroff")
        self.assertEqual(([line for line in journal if line.startswith("on_")],
                          [line for line in journal if not line.startswith("on_")],
                          journal[-1:]),
                         ([handler_line("1.000000")] * writes, expected_log(WDT_TIME),
                          expected_log(WDT_TIME)[-1:]))


if __name__ == "__main__":
    unittest.main()
