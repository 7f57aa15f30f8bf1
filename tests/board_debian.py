"""The armhf package installed with dpkg in a Debian root with systemd, on an
emulated Arm board: its unit starts it at boot, it restarts the board for
real, and the journal on the board's disk holds every line afterwards."""

import os
import re
import unittest

from board import BOARDS, WDT_TIME, BoardTest, Boot
from harness import TIMEOUT_LINE, count_lines, handler_line

BOARD = os.path.join(BOARDS, "debian")


class InstalledPackage(BoardTest):
    # The package enabled its own unit when dpkg installed it; only the tag
    # was set in its settings file.
    def test_unit_starts_at_boot_and_restarts_the_board_with_its_journal_complete(self):
        boot = Boot(self.workdir.name, BOARD, "debian", limit=600)
        self.assertBareRestart(boot)
        self.assertEqual([line for line in boot.board_lines() if not line.startswith("board: c")],
                         ["board: up; wdtag-poweroff is active", "board: oom_score_adj -1000"])
        self.assertLessEqual(boot.ended_at - boot.counting_at, WDT_TIME + 5)
        writes = int(re.search(r"counting after (\d+) writes", boot.console()).group(1))
        journal = boot.journal("wdtag-poweroff")
        self.assertEqual(([line for line in journal if line.startswith("on_")],
                          [line for line in journal if not line.startswith("on_")],
                          journal[-1:]),
                         ([handler_line("1.000000")] * writes,
                          count_lines(1, WDT_TIME) + [TIMEOUT_LINE], [TIMEOUT_LINE]))


if __name__ == "__main__":
    unittest.main()
