"""The demo of scripts/demo --board, run from the project's folder:
    python3 -m scripts.board_demo [wdt_time]

Boots the BusyBox board, lets it count and restart, and reads the log back
from its flash; exits 0 when the restart came within wdt_time + 5 s of the
first count line and the log is complete.
"""

import signal
import sys
import tempfile

from simulator.board import WDT_TIME, Board, expected_log

HANDLER_LINE = "on_reset_tag: "


def demo(wdt_time):
    with tempfile.TemporaryDirectory(prefix="wdtag-demo-board-") as workdir, \
            Board("busybox", workdir) as board:
        print("demo: booting the BusyBox board (%s); watchdog time %d s"
              % (board.contents(), wdt_time), flush=True)
        board.boot("hold", wdt_time=wdt_time, limit=wdt_time + 120)
        while (line := board.qemu.next_line(timeout=board.limit)) is not None:
            # The console without the kernel's boot chatter.
            if line.startswith("[") and not any(mark in line for mark in (
                    "Run /init", "EXT4-fs", "reboot:")):
                continue
            print("[%7.2fs] %s" % (board.qemu.times[board.qemu.read - 1] - board.started_at,
                                   line), flush=True)
        status = board.wait_end()
        counting, restarted = board.seen_at("board: counting"), board.seen_at("Restarting system")
        if status != 0 or counting is None or restarted is None:
            print("demo: the board did not restart as expected (qemu status %s)" % status)
            return 1
        took = restarted - counting
        print("demo: the board restarted %.2f s after the watchdog began to count" % took)
        print("demo: the watchdog's log, read back from the board's flash after e2fsck:")
        log = board.flash("/wdtag_poweroff.log") or []
        for line in log:
            print("           " + line)
    if [line for line in log if not line.startswith(HANDLER_LINE)] != expected_log(wdt_time):
        print("demo: the log on the flash is not complete")
        return 1
    print("demo: complete: every count line and the timeout line reached the flash")
    return 0 if took <= wdt_time + 5 else 1


def main(arguments):
    # SIGTERM ends the board as Ctrl-C does: through the context managers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        return demo(int(arguments[0]) if arguments else WDT_TIME)
    except KeyboardInterrupt:
        print("\ndemo: stopped; the board is gone")
        return 130
    except AssertionError as error:
        print("demo: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
