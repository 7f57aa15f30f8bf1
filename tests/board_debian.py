"""The armhf package installed with dpkg in a Debian root with systemd, on an
emulated Arm board: its unit starts it at boot, it restarts the board for
real, and the journal on the board's disk holds every line afterwards; the
same with the package's confining drop-in; and with no tag, the unit is
skipped. The last resident program runs as another user."""

from harness import BoardTest
from simulator.device import RESIDENTS

CONFINED = "/usr/share/doc/wdtag-poweroff/examples/confined.conf"


class InstalledPackage(BoardTest):
    KIND, LIMIT = "debian", 600

    def assertRestartedStoppingBothResidents(self, boot):
        self.assertRestartedInTimeWithEveryLine(
            boot, boot.journal("wdtag-poweroff", "wdtag_poweroff"))
        self.assertEqual([name for name in RESIDENTS
                          if name + ": stopped by SIGTERM" not in boot.console()],
                         [], boot.console())

    # The package enabled its own unit when dpkg installed it; the board set
    # only the tag and the time in its settings file.
    def test_unit_as_shipped_restarts_the_board_with_its_journal_complete(self):
        boot = self.boot("hold")
        self.assertEqual([line for line in boot.board_lines()
                          if not line.startswith(("board: ready", "board: counting"))],
                         ["board: status 0: active",
                          "board: init script status 0: \u25cf wdtag-poweroff.service - "
                          "Tag watchdog: restarts the machine when its tag is held at 1",
                          "board: drop-ins: none", "board: oom_score_adj -1000"])
        self.assertRestartedStoppingBothResidents(boot)
        self.assertIsNotNone(boot.flash("/usr/share/man/man8/wdtag_poweroff.8.gz"))

    def test_unit_with_the_confining_drop_in_restarts_the_board_with_its_journal_complete(self):
        boot = self.boot("hold", dropin=CONFINED)
        self.assertEqual([line for line in boot.board_lines()
                          if line.startswith(("board: status", "board: drop-ins"))], [
            "board: status 0: active",
            "board: drop-ins: /etc/systemd/system/wdtag-poweroff.service.d/confined.conf"])
        self.assertRestartedStoppingBothResidents(boot)

    def test_unit_without_a_tag_is_skipped_neither_failed_nor_restarted(self):
        boot = self.boot("skipped", tag="")
        self.assertEqual([sorted(line.split()[2:]) for line in boot.board_lines()
                          if line.startswith("board: unit ")],
                         [["ActiveState=inactive", "NRestarts=0", "Result=exec-condition"]])
