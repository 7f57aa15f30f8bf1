"""The armhf package on an emulated Arm board with BusyBox: started at boot by
its own init script, it restarts the board for real, and its log is complete
on the board's flash afterwards. Each scenario boots from a fresh copy of the
disk image; the board's restart ends only qemu."""

import os
import re
import unittest

from board import BOARDS, WDT_TIME, BoardTest, Boot
from harness import TIMEOUT_LINE, count_lines, handler_line

BOARD = os.environ.get("BOARD_DIR", os.path.join(BOARDS, "busybox"))


class HeldTag(BoardTest):
    def test_packaged_service_restarts_the_board_in_time_with_its_log_complete(self):
        boot = Boot(self.workdir.name, BOARD, "hold")
        self.assertBareRestart(boot)
        self.assertRegex(boot.console(), r"board: status 0: wdtag-poweroff is running \(PID \d+\)")
        self.assertIn("board: oom_score_adj -1000", boot.board_lines())
        self.assertIsNotNone(boot.counting_at, boot.console())
        self.assertLessEqual(boot.ended_at - boot.counting_at, WDT_TIME + 5)
        writes = int(re.search(r"counting after (\d+) writes", boot.console()).group(1))
        log = boot.flash("/wdtag_poweroff.log")
        self.assertEqual(([line for line in log if line.startswith("on_")],
                          [line for line in log if not line.startswith("on_")]),
                         ([handler_line("1.000000")] * writes,
                          count_lines(1, WDT_TIME) + [TIMEOUT_LINE]))
        self.assertEqual(log[-1], TIMEOUT_LINE)


class Controls(BoardTest):
    """Without a sync, this board loses what was written just before a
    restart: otherwise a complete log would prove nothing."""

    def test_line_appended_before_a_restart_without_sync_is_lost(self):
        boot = Boot(self.workdir.name, BOARD, "nosync-reboot")
        self.assertBareRestart(boot)
        self.assertIn("board: appended a line; restarting without sync", boot.board_lines())
        self.assertNotIn("a line that only a sync would keep", boot.flash("/control.log") or [])

    def test_watchdog_whose_sync_does_nothing_loses_its_last_lines(self):
        boot = Boot(self.workdir.name, BOARD, "nosync-watchdog")
        self.assertBareRestart(boot)
        self.assertNotIn(TIMEOUT_LINE, boot.flash("/wdtag_poweroff.log") or [])


class CancelledCountdown(BoardTest):
    def test_zero_before_the_time_keeps_the_board_running(self):
        boot = Boot(self.workdir.name, BOARD, "cancel")
        self.assertEqual((boot.status, boot.board_lines()[-2:],
                          "reboot: Power down" in boot.console(),
                          "reboot: Restarting system" in boot.console()),
                         (0, ["board: tag set to 0",
                              "board: still running %d s later; powering off" % (WDT_TIME + 2)],
                          True, False), boot.console())


if __name__ == "__main__":
    unittest.main()
