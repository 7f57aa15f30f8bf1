"""The armhf package installed with dpkg in a Debian root with systemd, on an
emulated Arm board: its unit starts it at boot, it restarts the board for
real, and the journal on the board's disk holds every line afterwards."""

import unittest

from board import BoardTest


class InstalledPackage(BoardTest):
    KIND, LIMIT = "debian", 600

    # The package enabled its own unit when dpkg installed it; the board set
    # only the tag and the time in its settings file.
    def test_unit_starts_at_boot_and_restarts_the_board_with_its_journal_complete(self):
        boot = self.boot("hold")
        self.assertEqual([line for line in boot.board_lines() if not line.startswith("board: c")],
                         ["board: status 0: active", "board: oom_score_adj -1000"])
        self.assertRestartedInTimeWithEveryLine(boot, boot.journal("wdtag-poweroff"))


if __name__ == "__main__":
    unittest.main()
