"""The demos of scripts/demo, which builds what they need and runs them from
the project's folder:
    python3 -B -m scripts.demo device WDT_TIME WATCHDOG [--interactive]
    python3 -B -m scripts.demo board WDT_TIME
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

from simulator.board import Board, expected_log
from simulator.device import BOOT, TAG, Contained, handler_line, new_store, write_tag

SET, CLEARED = handler_line("1.000000"), handler_line("0.000000")


def new_lines(log, done):
    """The log's whole lines after the first DONE."""
    with open(log, "rb") as text:
        lines = text.read().decode("utf-8", "replace").split("\n")[:-1]
    return lines[done:]


def narrate(device, log, logged, wdt_time, interactive):
    """Prints the console and the log after its first LOGGED lines, with the
    seconds since the tag was set to 1, to the device's end; 0 when it
    restarted within wdt_time + 5 s. A run that is not interactive may last
    wdt_time + 10 s."""
    start, deadline = None, time.monotonic() + wdt_time + 10
    while True:
        ended = device.ended()
        lines = new_lines(log, logged)
        logged += len(lines)
        lines += device.new_lines()
        for line in lines:
            # Another 1 while counting does not restart the count.
            start = {SET: start or time.monotonic(), CLEARED: None}.get(line, start)
            print("[+%6.2fs] %s" % (time.monotonic() - start, line) if start is not None
                  else "           " + line, flush=True)
        if ended:
            break
        if not interactive and time.monotonic() > deadline:
            print("demo: the simulated device did not restart within %d s" % (wdt_time + 10))
            return 1
        time.sleep(0.01)
    # A restart ends a namespace's first process by SIGHUP.
    if device.wait() == -signal.SIGHUP and start is not None:
        took = time.monotonic() - start
        print("demo: the simulated device restarted %.2f s after the tag was set to 1 "
              "(watchdog time %d s)" % (took, wdt_time))
        return 0 if took <= wdt_time + 5 else 1
    print("demo: the simulated device did not restart as expected (status %s)"
          % device.process.returncode)
    return 1


def simulated_device(wdt_time, watchdog, interactive):
    """A private PID namespace with a tag store, the resident programs and the
    watchdog on its tag, which a restart ends; its own folder goes with it."""
    with tempfile.TemporaryDirectory(prefix="wdtag-demo.") as folder:
        store, log = new_store(folder), os.path.join(folder, "watchdog.log")
        tag = os.path.join(store, TAG)
        open(log, "w", encoding="utf-8").close()
        print("demo: simulated device in %s; watchdog time %d s" % (folder, wdt_time), flush=True)
        device = None
        try:
            # A session of its own: Ctrl-C reaches this demo alone, which ends the device.
            device = Contained([BOOT, folder, TAG, str(wdt_time), watchdog], first=True,
                               env=dict(os.environ, TAGSIM_DIR=store), stderr=subprocess.STDOUT,
                               start_new_session=True)
            while (line := device.next_line()) is not None:
                print("           " + line, flush=True)
                if line.startswith("device: watchdog running"):
                    break
            else:
                print("demo: the simulated device did not start its watchdog")
                return 1
            # The device's own echo that showed the watchdog ready is no change of the tag.
            logged = len(new_lines(log, 0))
            if interactive:
                print("demo: in another terminal, set the tag:   echo 1 > %s\n"
                      "demo:                      or clear it:   echo 0 > %s\n"
                      "demo: Ctrl-C stops the simulated device" % (tag, tag), flush=True)
            else:
                print("demo: setting the tag: echo 1 > %s" % tag, flush=True)
                write_tag(store, TAG, "1\n")
            return narrate(device, log, logged, wdt_time, interactive)
        finally:
            if device:
                device.stop()


def board(wdt_time):
    """Boots the BusyBox board, lets it count and restart, and reads the log
    back from its flash; 0 when the restart came within wdt_time + 5 s of the
    first count line and the log is complete."""
    with tempfile.TemporaryDirectory(prefix="wdtag-demo-board-") as workdir, \
            Board("busybox", workdir) as emulated:
        print("demo: booting the BusyBox board (%s); watchdog time %d s"
              % (emulated.contents(), wdt_time), flush=True)
        console = emulated.boot("hold", wdt_time=wdt_time, limit=wdt_time + 120).qemu
        while (line := console.next_line(timeout=emulated.limit)) is not None:
            # The console without the kernel's boot chatter.
            if not line.startswith("[") or any(mark in line for mark in (
                    "Run /init", "EXT4-fs", "reboot:")):
                print("[%7.2fs] %s" % (console.times[console.read - 1] - emulated.started_at,
                                       line), flush=True)
        status = emulated.wait_end()
        counting, restarted = (emulated.seen_at(text)
                               for text in ("board: counting", "Restarting system"))
        if status != 0 or counting is None or restarted is None:
            print("demo: the board did not restart as expected (qemu status %s)" % status)
            return 1
        took = restarted - counting
        print("demo: the board restarted %.2f s after the watchdog began to count\n"
              "demo: the watchdog's log, read back from the board's flash after e2fsck:" % took)
        log = emulated.flash("/wdtag_poweroff.log") or []
        for line in log:
            print("           " + line)
    if [line for line in log if not line.startswith(handler_line(""))] != expected_log(wdt_time):
        print("demo: the log on the flash is not complete")
        return 1
    print("demo: complete: every count line and the timeout line reached the flash")
    return 0 if took <= wdt_time + 5 else 1


def main(kind, wdt_time, *rest):
    terminated = []

    def terminate(*_):
        terminated.append(True)
        raise KeyboardInterrupt

    # SIGTERM ends the demo as Ctrl-C does: through the clean-up on the way out.
    signal.signal(signal.SIGTERM, terminate)
    try:
        if kind == "board":
            return board(int(wdt_time))
        return simulated_device(int(wdt_time), rest[0], "--interactive" in rest)
    except KeyboardInterrupt:
        print("\ndemo: stopped; the %s is gone" % ("board" if kind == "board"
                                                   else "simulated device"), flush=True)
        return 143 if terminated else 130
    except AssertionError as error:
        print("demo: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
