"""The board driver: boots an emulated Arm board made by simulator/make-board,
follows its console, reads files off its disk and stops it. The board tests,
scripts/demo --board and bench/footprint.py --board use it. A board's
restart ends only qemu (-no-reboot); each boot starts from a fresh copy of
the disk.
"""

import os
import subprocess
import tempfile
import time

from simulator.device import (ROOT, TAG, TIMEOUT_FACTOR, TIMEOUT_LINE, VALUES, Followed,
                              count_lines, read_values)

BOARDS = os.environ.get("BOARDS_DIR", os.path.join(ROOT, "build", "armhf", "boards"))
WDT_TIME = int(VALUES["board_wdt_time"])
# The 32-bit kernel on a 32-bit core; the 64-bit one on a core that also
# runs 32-bit user space, as many current devices do for a vendor library.
EMULATORS = {"armmp": ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15"],
             "arm64": ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a72"]}
# A restart through init would sync and unmount, and hide a missing sync:
# BusyBox's init and systemd's shutdown say so.
NOT_A_BARE_RESTART = ("Kernel panic", "The system is going down", "Sent SIGTERM",
                      "Requesting system", "EXT4-fs (vda): unmounting", "systemd-shutdown",
                      "System Reboot")


class Board:
    """A board image of one KIND, checked against what went into it, booted
    once from a fresh copy of its disk in WORKDIR."""

    def __init__(self, kind, workdir):
        self.kind, self.folder = kind, os.path.join(BOARDS, kind)
        self.qemu, self.status, self.ended_at = None, None, None
        target = "board-" + kind
        inputs = os.path.join(self.folder, "inputs.sha256")
        if not os.path.exists(inputs):
            raise AssertionError("no %s board in %s: build the target %s"
                                 % (kind, BOARDS, target))
        checked = subprocess.run(["sha256sum", "--quiet", "--check", inputs],
                                 capture_output=True, text=True, check=False)
        if checked.returncode != 0:
            raise AssertionError("the %s board is out of date: build the target %s\n%s"
                                 % (kind, target, checked.stdout + checked.stderr))
        self.disk = os.path.join(workdir, kind + ".img")
        self.values = read_values(os.path.join(self.folder, "project.conf"))

    def contents(self):
        with open(os.path.join(self.folder, "contents"), encoding="utf-8") as contents:
            return contents.read().strip()

    def boot(self, scenario, kernel="armmp", limit=180, tag=TAG, wdt_time=WDT_TIME,
             library="/usr/lib", library_path="", dropin=""):
        """Starts qemu; timeout ends it at the boot's limit even if its driver died."""
        settings = {"scenario": scenario, "tag": tag, "wdt_time": wdt_time,
                    "library": library, "library_path": library_path, "dropin": dropin}
        # The Debian board's disk is mostly holes.
        subprocess.run(["cp", "--sparse=always", os.path.join(self.folder, "disk.img"),
                        self.disk], check=True)
        append = " ".join(["console=ttyAMA0", "panic=-1"]
                          + ["board.%s=%s" % item for item in settings.items()])
        self.limit, self.started_at = limit, time.monotonic()
        self.qemu = Followed(["timeout", "--signal=KILL", "%d" % (limit * TIMEOUT_FACTOR)]
                             + EMULATORS[kernel] + [
            "-m", "512", "-display", "none", "-monitor", "none", "-serial", "stdio",
            "-nic", "none", "-no-reboot",
            "-kernel", os.path.join(self.folder, "vmlinuz-" + kernel),
            "-initrd", os.path.join(self.folder, "initrd.gz"),
            "-drive", "file=%s,if=none,id=flash,format=raw" % self.disk,
            "-device", "virtio-blk-device,drive=flash", "-append", append],
            stderr=subprocess.STDOUT)
        return self

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()

    def wait_end(self):
        """The board's end, or qemu's at the time limit; qemu's status."""
        self.status = self.qemu.wait(self.limit + 10)
        self.ended_at = time.monotonic()
        return self.status

    def stop(self):
        # timeout passes SIGTERM on to qemu; SIGKILL would leave qemu behind.
        if self.qemu and self.qemu.running():
            self.qemu.process.terminate()
        if self.qemu:
            self.qemu.wait(self.limit)

    def seen_at(self, text):
        return self.qemu.seen_at(text)

    def console(self):
        return "\n".join(self.qemu.lines)

    def board_lines(self):
        """The scenario's own lines; systemd forwards them with a prefix."""
        return [line[line.index("board: "):] for line in self.qemu.lines if "board: " in line]

    def bare_restart_faults(self):
        """Empty for a bare restart: qemu ended by itself after the kernel's
        restart, with no init shutdown, unmount or panic."""
        console = self.console()
        faults = [mark for mark in NOT_A_BARE_RESTART if mark in console]
        if "reboot: Restarting system" not in console:
            faults.append("no restart")
        if self.status != 0:
            faults.append("qemu status %s" % self.status)
        return faults

    def flash(self, path, folder=None):
        """The file as the board would read it at its next mount, or None; a
        folder is copied into FOLDER instead. On a copy, e2fsck replays the
        journal first, which debugfs alone would not."""
        with tempfile.TemporaryDirectory(prefix="wdtag-flash-") as scratch:
            copy = os.path.join(scratch, "disk.img")
            subprocess.run(["cp", "--sparse=always", self.disk, copy], check=True)
            # 0: clean; 1: errors corrected, as at a mount after a power cut.
            if subprocess.run(["e2fsck", "-fy", copy], capture_output=True,
                              check=False).returncode > 1:
                raise AssertionError("e2fsck cannot repair " + self.disk)
            if b"Inode:" not in subprocess.run(["debugfs", "-R", "stat " + path, copy],
                                               capture_output=True, check=True).stdout:
                return None
            request = "rdump %s %s" % (path, folder) if folder else "cat " + path
            read = subprocess.run(["debugfs", "-R", request, copy], capture_output=True,
                                  check=True)
        return None if folder else read.stdout.decode("utf-8", "replace").splitlines()

    def watchdog_log(self):
        """The init script's log on the flash, which the board mounts on the
        log's folder; empty without it."""
        return self.flash("/" + os.path.basename(self.values["WDTAG_LOG"])) or []

    def watchdog_journal(self):
        """What the watchdog's unit wrote to the journal on the disk, under
        the program's own name."""
        folder = os.path.join(os.path.dirname(self.disk), "journal")
        self.flash("/var/log/journal", os.path.dirname(folder))
        read = subprocess.run(["journalctl", "-D", folder, "-o", "cat", "-t", "wdtag_poweroff",
                               "_SYSTEMD_UNIT=wdtag-poweroff.service"], capture_output=True,
                              text=True, timeout=60 * TIMEOUT_FACTOR, check=True)
        return read.stdout.splitlines()


def expected_log(wdt_time):
    """The count lines and the timeout line of a board's watchdog log,
    without the handler's lines."""
    return count_lines(1, wdt_time) + [TIMEOUT_LINE]
