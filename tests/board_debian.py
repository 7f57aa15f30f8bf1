"""The armhf package installed with dpkg in a Debian root with systemd, on an
emulated Arm board: its unit starts it at boot, it restarts the board for
real, and the journal on the board's disk holds every line afterwards; the
same with the package's confining drop-in; and with no tag, the unit is
skipped. The last resident program runs as another user."""

import re

from harness import BoardTest

CONFINED = "/usr/share/doc/wdtag-poweroff/examples/confined.conf"
VENDOR_FOLDER = "/opt/vendor/lib"


class InstalledPackage(BoardTest):
    KIND, LIMIT = "debian", 600

    # The package enabled its own unit when dpkg installed it; the board set
    # only the tag and the time in its settings file. The integrator's trial
    # of the tag in a namespace of its own comes first.
    def test_unit_as_shipped_restarts_the_board_after_a_trial_with_its_journal_complete(self):
        boot = self.boot("commission")
        self.assertEqual(boot.board_lines()[:4],
                         ["board: status 0: active",
                          "board: init script status 0: \u25cf wdtag-poweroff.service - "
                          + boot.values["WDTAG_SUMMARY"], "board: drop-ins: none",
                          "board: oom_score_adj " + boot.values["WDTAG_OOM_SCORE_ADJ"]], self.seen)
        self.assertTrialCountedThenTheServiceRestartedTheBoard(boot, boot.watchdog_journal())
        self.assertIsNotNone(boot.flash("/usr/share/man/man8/wdtag_poweroff.8.gz"))

    def test_unit_with_the_confining_drop_in_restarts_the_board_with_its_journal_complete(self):
        boot = self.boot("hold", dropin=CONFINED)
        self.assertEqual([line for line in boot.board_lines()
                          if line.startswith(("board: status", "board: drop-ins"))], [
            "board: status 0: active",
            "board: drop-ins: /etc/systemd/system/wdtag-poweroff.service.d/confined.conf"],
            self.seen)
        self.assertRestartedInTimeWithEveryLine(boot, boot.watchdog_journal())

    # Read once the unit's start job ended: settled, unless a restart came or is to come.
    def test_unit_without_a_tag_is_skipped_neither_failed_nor_restarted(self):
        boot = self.boot("skipped", tag="")
        self.assertEqual([sorted(line.split()[2:]) for line in boot.board_lines()
                          if line.startswith("board: unit ")],
                         [["ActiveState=inactive", "NRestarts=0", "Result=exec-condition",
                           "SubState=dead"]], self.seen)

    # The library out of the loader's reach: each start fails at once.
    def test_unit_waiting_out_quick_failures_is_not_active_and_a_reinstall_does_not_wait(self):
        boot = self.boot("delayed", library=VENDOR_FOLDER)
        said = [re.sub(r"in \d+ s", "in N s", line) for line in boot.board_lines()
                if line.startswith(("board: waiting", "board: installed"))]
        journal = boot.watchdog_journal()
        failed = [number for number, line in enumerate(journal)
                  if line.startswith("wdtag-poweroff:") or "error while loading" in line]
        # Why it waits, and until when, where systemctl status shows it.
        waits = [line for line in journal if "failed 3 times" in line] or [""]
        self.assertEqual((said, bool(re.fullmatch(
            "wdtag-poweroff: failed 3 times in a row within a minute of its start; "
            r"starting again in 20 s, at \d\d:\d\d:\d\d", waits[0]))), (
            ["board: waiting: is-active 3 activating, SubState=start-pre",
             "board: installed again in N s, after 0 failures: active"], True), self.seen)
        self.assertRestartedInTimeWithEveryLine(boot, journal[failed[-1] + 1:])
