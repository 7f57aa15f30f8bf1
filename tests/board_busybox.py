"""The armhf package on an emulated Arm board with BusyBox: started at boot by
its own init script, it restarts the board for real, and its log is complete
on the board's flash afterwards. Each scenario boots from a fresh copy of the
disk image; the board's restart ends only qemu."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import TIMEOUT_LINE, count_lines, handler_line

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BOARD = os.environ.get("BOARD_DIR", os.path.join(ROOT, "build", "board", "busybox"))
BOOT = os.path.join(ROOT, "scripts", "board", "boot")
READ_FLASH = os.path.join(ROOT, "scripts", "board", "read-flash")
WDT_TIME = 3
# A restart through init would sync and unmount, and hide a missing sync.
NOT_A_BARE_RESTART = ("Kernel panic", "The system is going down", "Sent SIGTERM",
                      "Requesting system", "EXT4-fs (vda): unmounting")


class Boot:
    """One boot of the board from a fresh copy of its disk, to its end."""

    def __init__(self, workdir, scenario, limit=180):
        self.disk = os.path.join(workdir, scenario + ".img")
        shutil.copy(os.path.join(BOARD, "disk.img"), self.disk)
        self.lines, self.counting_at = [], None
        with subprocess.Popen([BOOT, BOARD, self.disk, str(limit), "board.scenario=" + scenario,
                               "board.wdt_time=%d" % WDT_TIME], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace") as qemu:
            for line in qemu.stdout:
                self.lines.append(line.rstrip("\r\n"))
                if line.startswith("board: counting"):
                    self.counting_at = time.monotonic()
            self.status = qemu.wait()
        self.ended_at = time.monotonic()

    def console(self):
        return "\n".join(self.lines)

    def board_lines(self):
        return [line for line in self.lines if line.startswith("board: ")]

    def flash(self, path):
        """The file as the board would read it at its next mount, or None."""
        read = subprocess.run([READ_FLASH, self.disk, path], capture_output=True, text=True,
                              timeout=60, check=False)
        if read.returncode not in (0, 1):
            raise AssertionError(read.stderr)
        return read.stdout.splitlines() if read.returncode == 0 else None


class BoardTest(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="wdtag-board-")

    def tearDown(self):
        self.workdir.cleanup()

    def assertBareRestart(self, boot):
        found = [mark for mark in NOT_A_BARE_RESTART if mark in boot.console()]
        self.assertEqual((boot.status, "reboot: Restarting system" in boot.console(), found),
                         (0, True, []), boot.console())


class HeldTag(BoardTest):
    def test_packaged_service_restarts_the_board_in_time_with_its_log_complete(self):
        boot = Boot(self.workdir.name, "hold")
        self.assertBareRestart(boot)
        self.assertRegex(boot.console(), r"board: status 0: wdtag-poweroff is running \(PID \d+\)")
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
        boot = Boot(self.workdir.name, "nosync-reboot")
        self.assertBareRestart(boot)
        self.assertIn("board: appended a line; restarting without sync", boot.board_lines())
        self.assertNotIn("a line that only a sync would keep", boot.flash("/control.log") or [])

    def test_watchdog_whose_sync_does_nothing_loses_its_last_lines(self):
        boot = Boot(self.workdir.name, "nosync-watchdog")
        self.assertBareRestart(boot)
        self.assertNotIn(TIMEOUT_LINE, boot.flash("/wdtag_poweroff.log") or [])


class CancelledCountdown(BoardTest):
    def test_zero_before_the_time_keeps_the_board_running(self):
        boot = Boot(self.workdir.name, "cancel")
        self.assertEqual((boot.status, boot.board_lines()[-2:],
                          "reboot: Power down" in boot.console(),
                          "reboot: Restarting system" in boot.console()),
                         (0, ["board: tag set to 0",
                              "board: still running %d s later; powering off" % (WDT_TIME + 2)],
                          True, False), boot.console())


if __name__ == "__main__":
    unittest.main()
