"""The armhf package on an emulated Arm board with BusyBox: started at boot by
its own init script, it restarts the board for real, and its log is complete
on the board's flash afterwards."""

import re

from harness import BoardTest
from simulator.board import WDT_TIME, expected_log
from simulator.device import count_lines

VENDOR_FOLDER = "/opt/vendor/lib"


class HeldTag(BoardTest):
    """The integrator's trial of the tag in a namespace of its own, then the
    packaged service, which the init script started at boot."""

    def test_trial_counts_to_its_timeout_then_the_service_restarts_the_board_with_its_log(self):
        boot = self.boot("commission")
        self.assertEqual([re.sub(r"PID \d+", "PID N", line) for line in boot.board_lines()[:2]],
                         ["board: status 0: wdtag-poweroff is running (PID N)",
                          "board: oom_score_adj " + boot.values["WDTAG_OOM_SCORE_ADJ"]], self.seen)
        self.assertTrialCountedThenTheServiceRestartedTheBoard(boot, boot.watchdog_log())


class VendorFolder(BoardTest):
    """The tag library only in a folder of the vendor's, outside the search path."""

    def test_library_path_setting_restarts_the_board_after_stopping_both_residents(self):
        boot = self.boot("hold", library=VENDOR_FOLDER, library_path=VENDOR_FOLDER)
        self.assertRestartedInTimeWithEveryLine(boot, boot.watchdog_log())

    def test_start_without_the_setting_fails_with_the_loaders_message(self):
        boot = self.boot("status", library=VENDOR_FOLDER)
        message = "error while loading shared libraries: " + boot.values["tag_library"]
        self.assertEqual((message in boot.console(),
                          any(message in line for line in boot.watchdog_log()),
                          "board: status 3: wdtag-poweroff is not running" in boot.console()),
                         (True, True, True), self.seen)


class Controls(BoardTest):
    """Without a sync, this board loses what was written just before a
    restart: otherwise a complete log would prove nothing."""

    def test_line_appended_before_a_restart_without_sync_is_lost(self):
        boot = self.boot("nosync-reboot")
        self.assertEqual((boot.bare_restart_faults(),
                          "board: appended a line; restarting without sync" in boot.board_lines(),
                          "a line that only a sync would keep" in (boot.flash("/control.log") or [])),
                         ([], True, False), self.seen)

    def test_watchdog_whose_sync_does_nothing_loses_its_last_lines(self):
        boot = self.boot("nosync-watchdog")
        self.assertEqual((boot.bare_restart_faults(),
                          expected_log(WDT_TIME)[-1] in boot.watchdog_log()),
                         ([], False), self.seen)


class CancelledCountdown(BoardTest):
    def test_zero_cancels_the_countdown_and_a_new_one_counts_from_one_again(self):
        # The scenario writes 1 again only once the watchdog echoed the 0 and a pass saw it,
        # and powers off once the new countdown began.
        boot = self.boot("cancel")
        log = boot.watchdog_log()
        self.assertEqual((boot.status, boot.board_lines()[-3:],
                          [line for line in log if line in expected_log(WDT_TIME)],
                          "reboot: Power down" in boot.console(),
                          "reboot: Restarting system" in boot.console()),
                         (0, ["board: tag set to 0", "board: 0 echoed and passed; tag set to 1 again",
                              "board: counting from 1 again; tag set to 0, powering off"],
                          count_lines(1, 1) * 2, True, False), self.seen)
