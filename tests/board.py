"""Boots the project's emulated Arm boards and reads what they left on their
disks. Each boot starts from a fresh copy of the board's disk image; the
board's restart ends only qemu."""

import os
import subprocess
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BOARDS = os.path.join(ROOT, "build", "board")
BOOT = os.path.join(ROOT, "scripts", "board", "boot")
READ_FLASH = os.path.join(ROOT, "scripts", "board", "read-flash")
WDT_TIME = 3
# A restart through init would sync and unmount, and hide a missing sync:
# BusyBox's init and systemd's shutdown say so.
NOT_A_BARE_RESTART = ("Kernel panic", "The system is going down", "Sent SIGTERM",
                      "Requesting system", "EXT4-fs (vda): unmounting", "systemd-shutdown",
                      "System Reboot")


class Boot:
    """One boot of the board from a fresh copy of its disk, to its end."""

    def __init__(self, workdir, board, scenario, limit=180):
        self.disk = os.path.join(workdir, scenario + ".img")
        # The Debian board's disk is mostly holes.
        subprocess.run(["cp", "--sparse=always", os.path.join(board, "disk.img"), self.disk],
                       check=True)
        self.lines, self.counting_at = [], None
        with subprocess.Popen([BOOT, board, self.disk, str(limit), "board.scenario=" + scenario,
                               "board.wdt_time=%d" % WDT_TIME], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, errors="replace") as qemu:
            for line in qemu.stdout:
                self.lines.append(line.rstrip("\r\n"))
                if "board: counting" in line:
                    self.counting_at = time.monotonic()
            self.status = qemu.wait()
        self.ended_at = time.monotonic()
        # The last console of each board and scenario stays for a look afterwards.
        with open(os.path.join(board, "console-%s.log" % scenario), "w",
                  encoding="utf-8") as log:
            log.write(self.console() + "\n")

    def console(self):
        return "\n".join(self.lines)

    def board_lines(self):
        """The scenario's own lines; systemd forwards them with a prefix."""
        return [line[line.index("board: "):] for line in self.lines if "board: " in line]

    def flash(self, path):
        """The file as the board would read it at its next mount, or None."""
        read = subprocess.run([READ_FLASH, self.disk, path], capture_output=True, text=True,
                              timeout=60, check=False)
        if read.returncode not in (0, 1):
            raise AssertionError(read.stderr)
        return read.stdout.splitlines() if read.returncode == 0 else None

    def journal(self, unit):
        """What the unit's own process wrote to the journal on the disk."""
        folder = os.path.join(os.path.dirname(self.disk), "journal")
        subprocess.run([READ_FLASH, self.disk, "/var/log/journal", os.path.dirname(folder)],
                       check=True, timeout=120)
        read = subprocess.run(["journalctl", "-D", folder, "-o", "cat",
                               "_SYSTEMD_UNIT=%s.service" % unit], capture_output=True,
                              text=True, timeout=60, check=True)
        return read.stdout.splitlines()


class BoardTest(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="wdtag-board-")

    def tearDown(self):
        self.workdir.cleanup()

    def assertBareRestart(self, boot):
        found = [mark for mark in NOT_A_BARE_RESTART if mark in boot.console()]
        self.assertEqual((boot.status, "reboot: Restarting system" in boot.console(), found),
                         (0, True, []), boot.console())
