"""The board driver: boots an emulated Arm board made by scripts/make-board,
follows its console, reads files off its disk and stops it. The board tests,
scripts/demo --board and bench/footprint --board use it. A board's restart
ends only qemu (-no-reboot); each boot starts from a fresh copy of the disk.

    python3 tests/board.py demo [wdt_time]   the demo of scripts/demo --board
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from harness import handler_line
from project import ROOT, TIMEOUT_FACTOR, VALUES

BOARDS = os.environ.get("BOARDS_DIR", os.path.join(ROOT, "build", "armhf", "boards"))
TAG = VALUES["board_tag"]
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
    """A board image, checked against what went into it."""

    def __init__(self, kind):
        self.kind, self.folder = kind, os.path.join(BOARDS, kind)
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

    def contents(self):
        with open(os.path.join(self.folder, "contents"), encoding="utf-8") as contents:
            return contents.read().strip()

    def boot(self, workdir, scenario, kernel="armmp", tag=TAG, wdt_time=WDT_TIME,
             library="/usr/lib", library_path="", dropin="", limit=180):
        settings = {"scenario": scenario, "tag": tag, "wdt_time": wdt_time,
                    "library": library, "library_path": library_path, "dropin": dropin}
        return Boot(self, workdir, kernel, settings, limit * TIMEOUT_FACTOR)


class Boot:
    """One boot, from qemu's start to its end; its console lines are kept
    with the time each was read. timeout ends qemu at the boot's limit even
    if its driver has died."""

    def __init__(self, board, workdir, kernel, settings, limit):
        self.disk = os.path.join(workdir, "%s-%s.img" % (board.kind, settings["scenario"]))
        # The Debian board's disk is mostly holes.
        subprocess.run(["cp", "--sparse=always", os.path.join(board.folder, "disk.img"),
                        self.disk], check=True)
        append = " ".join(["console=ttyAMA0", "panic=-1"]
                          + ["board.%s=%s" % item for item in settings.items()])
        command = ["timeout", "--signal=KILL", "%d" % limit] + EMULATORS[kernel] + [
            "-m", "512", "-display", "none", "-monitor", "none", "-serial", "stdio",
            "-nic", "none", "-no-reboot",
            "-kernel", os.path.join(board.folder, "vmlinuz-" + kernel),
            "-initrd", os.path.join(board.folder, "initrd.gz"),
            "-drive", "file=%s,if=none,id=flash,format=raw" % self.disk,
            "-device", "virtio-blk-device,drive=flash", "-append", append]
        self.started_at = time.monotonic()
        self.lines, self.times, self.status, self.ended_at = [], [], None, None
        self.qemu = subprocess.Popen(  # pylint: disable=consider-using-with
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, errors="replace")

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()

    def follow(self):
        """Each console line as it comes, with its time, to the board's end."""
        for line in self.qemu.stdout:
            self.lines.append(line.rstrip("\r\n"))
            self.times.append(time.monotonic())
            yield self.lines[-1], self.times[-1]
        self.status = self.qemu.wait()
        self.ended_at = time.monotonic()

    def wait_end(self):
        """The board's end, or qemu's at the time limit; qemu's status."""
        for _ in self.follow():
            pass
        return self.status

    def stop(self):
        # timeout passes SIGTERM on to qemu; SIGKILL would leave qemu behind.
        if self.qemu.poll() is None:
            self.qemu.terminate()
        self.qemu.wait()
        self.qemu.stdout.close()

    def seen_at(self, text):
        """When the first console line holding the text came, or None."""
        return next((at for line, at in zip(self.lines, self.times) if text in line), None)

    def console(self):
        return "\n".join(self.lines)

    def board_lines(self):
        """The scenario's own lines; systemd forwards them with a prefix."""
        return [line[line.index("board: "):] for line in self.lines if "board: " in line]

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

    def journal(self, unit, identifier):
        """What the unit's own process wrote to the journal on the disk,
        under the identifier that journalctl -t finds it by."""
        folder = os.path.join(os.path.dirname(self.disk), "journal")
        self.flash("/var/log/journal", os.path.dirname(folder))
        read = subprocess.run(["journalctl", "-D", folder, "-o", "cat", "-t", identifier,
                               "_SYSTEMD_UNIT=%s.service" % unit], capture_output=True,
                              text=True, timeout=60 * TIMEOUT_FACTOR, check=True)
        return read.stdout.splitlines()


class BoardTest(unittest.TestCase):
    """Boots the board KIND with KERNEL, one fresh disk a scenario."""
    KIND, KERNEL, LIMIT = "busybox", "armmp", 180

    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="wdtag-board-")
        self.addCleanup(self.workdir.cleanup)

    def boot(self, scenario, **settings):
        """Boots the board to its end and returns the boot."""
        boot = Board(self.KIND).boot(self.workdir.name, scenario, kernel=self.KERNEL,
                                     limit=self.LIMIT, **settings)
        self.addCleanup(boot.stop)
        boot.wait_end()
        return boot

    def assertRestartedInTimeWithEveryLine(self, boot, log):
        """A bare restart within wdt_time + 5 s of the first count line, and
        in the log one handler line per write of 1, the count lines and the
        timeout line, last."""
        self.assertEqual(boot.bare_restart_faults(), [], boot.console())
        self.assertLessEqual(boot.ended_at - boot.seen_at("board: counting"),
                             (WDT_TIME + 5) * TIMEOUT_FACTOR)
        writes = int(re.search(r"counting after (\d+) writes", boot.console()).group(1))
        self.assertEqual(([line for line in log if line.startswith("on_")],
                          [line for line in log if not line.startswith("on_")], log[-1:]),
                         ([handler_line("1.000000")] * writes, expected_log(WDT_TIME),
                          expected_log(WDT_TIME)[-1:]))


def expected_log(wdt_time):
    """The count lines and the timeout line, without the handler's lines."""
    return ["current count = %d" % n for n in range(1, wdt_time + 1)] + [
        "Watchdog timeout, reboot system!"]


def demo(wdt_time):
    """Boots the BusyBox board, lets it count and restart, and reads the log
    back from its flash; 0 when the restart came within wdt_time + 5 s of
    the first count line and the log is complete."""
    board = Board("busybox")
    print("demo: booting the BusyBox board (%s); watchdog time %d s"
          % (board.contents(), wdt_time), flush=True)
    with tempfile.TemporaryDirectory(prefix="wdtag-demo-board-") as workdir, \
            board.boot(workdir, "hold", wdt_time=wdt_time, limit=wdt_time + 120) as boot:
        for line, at in boot.follow():
            # The console without the kernel's boot chatter.
            if line.startswith("[") and not any(mark in line for mark in (
                    "Run /init", "EXT4-fs", "reboot:")):
                continue
            print("[%7.2fs] %s" % (at - boot.started_at, line), flush=True)
        status = boot.wait_end()
        counting, restarted = boot.seen_at("board: counting"), boot.seen_at("Restarting system")
        if status != 0 or counting is None or restarted is None:
            print("demo: the board did not restart as expected (qemu status %s)" % status)
            return 1
        took = restarted - counting
        print("demo: the board restarted %.2f s after the watchdog began to count" % took)
        print("demo: the watchdog's log, read back from the board's flash after e2fsck:")
        log = boot.flash("/wdtag_poweroff.log") or []
        for line in log:
            print("           " + line)
    if [line for line in log if not line.startswith("on_reset_tag: ")] != expected_log(wdt_time):
        print("demo: the log on the flash is not complete")
        return 1
    print("demo: complete: every count line and the timeout line reached the flash")
    return 0 if took <= wdt_time + 5 else 1


def main(arguments):
    # SIGTERM ends the board as Ctrl-C does: through the context managers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        if arguments[:1] == ["demo"]:
            return demo(int(arguments[1]) if len(arguments) > 1 else WDT_TIME)
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\ndemo: stopped; the board is gone")
        return 130
    except AssertionError as error:
        print("demo: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
