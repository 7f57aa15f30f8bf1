"""The armhf package on an emulated Arm board with BusyBox: started at boot by
its own init script, it restarts the board for real, and its log is complete
on the board's flash afterwards."""

from harness import BoardTest
from simulator.board import WDT_TIME, expected_log
from simulator.device import RESIDENTS

VENDOR_FOLDER = "/opt/vendor/lib"


class HeldTag(BoardTest):
    def test_packaged_service_restarts_the_board_in_time_with_its_log_complete(self):
        boot = self.boot("hold")
        self.assertRegex(boot.console(), r"board: status 0: wdtag-poweroff is running \(PID \d+\)")
        self.assertIn("board: oom_score_adj -1000", boot.board_lines())
        self.assertRestartedInTimeWithEveryLine(boot, boot.flash("/wdtag_poweroff.log"))


class Commissioning(BoardTest):
    def test_trial_in_a_namespace_counts_to_its_timeout_and_leaves_the_board_guarded(self):
        boot = self.boot("commission")
        self.assertTrialCountedThenTheServiceRestartedTheBoard(
            boot, boot.flash("/wdtag_poweroff.log"))


class VendorFolder(BoardTest):
    """The tag library only in a folder of the vendor's, outside the search path."""

    def test_library_path_setting_restarts_the_board_after_stopping_both_residents(self):
        boot = self.boot("hold", library=VENDOR_FOLDER, library_path=VENDOR_FOLDER)
        self.assertRestartedInTimeWithEveryLine(boot, boot.flash("/wdtag_poweroff.log"))
        self.assertEqual([name for name in RESIDENTS
                          if name + ": stopped by SIGTERM" not in boot.console()],
                         [], boot.console())

    def test_start_without_the_setting_fails_with_the_loaders_message(self):
        boot = self.boot("status", library=VENDOR_FOLDER)
        message = "error while loading shared libraries: zedOVEde.so"
        self.assertEqual((message in boot.console(),
                          any(message in line for line in boot.flash("/wdtag_poweroff.log")),
                          "board: status 3: wdtag-poweroff is not running" in boot.console()),
                         (True, True, True), boot.console())


class Controls(BoardTest):
    """Without a sync, this board loses what was written just before a
    restart: otherwise a complete log would prove nothing."""

    def test_line_appended_before_a_restart_without_sync_is_lost(self):
        boot = self.boot("nosync-reboot")
        self.assertEqual(boot.bare_restart_faults(), [], boot.console())
        self.assertIn("board: appended a line; restarting without sync", boot.board_lines())
        self.assertNotIn("a line that only a sync would keep", boot.flash("/control.log") or [])

    def test_watchdog_whose_sync_does_nothing_loses_its_last_lines(self):
        boot = self.boot("nosync-watchdog")
        self.assertEqual(boot.bare_restart_faults(), [], boot.console())
        self.assertNotIn(expected_log(WDT_TIME)[-1], boot.flash("/wdtag_poweroff.log") or [])


class CancelledCountdown(BoardTest):
    def test_zero_before_the_time_keeps_the_board_running(self):
        boot = self.boot("cancel")
        self.assertEqual((boot.status, boot.board_lines()[-2:],
                          "reboot: Power down" in boot.console(),
                          "reboot: Restarting system" in boot.console()),
                         (0, ["board: tag set to 0",
                              "board: still running %d s later; powering off" % (WDT_TIME + 2)],
                          True, False), boot.console())
