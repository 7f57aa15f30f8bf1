"""Ctrl-C, sent through a pseudo-terminal, at a few moments of the named
stages of scripts/test must leave no process and an empty temporary folder,
and the script must exit with 130. Run by hand from the project's folder
(it runs scripts/test, which builds the trees that ctest runs from):

    python3 -B -m scripts.interrupt_stages [--then-pass] STAGE[:SECONDS,...]...
    e.g. bench:5,20 board:10,60

SECONDS are counted from the stage's "== STAGE ==" line; prints one line a
try and exits 1 if any try left something behind. With --then-pass, each
stage then runs once more, uninterrupted, and must pass: whatever the
interrupts left in the cache (WDTAG_CACHE) must not fail the next run.
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

from simulator.device import ROOT, Terminal, processes_mentioning

TEST = os.path.join(ROOT, "scripts", "test")


def interrupt(stage, seconds):
    """What a Ctrl-C that many seconds into the stage left: status, processes, files."""
    with tempfile.TemporaryDirectory(prefix="wdtag-interrupt-") as tmp:
        terminal = Terminal([TEST, stage], tmp)
        terminal.read_until(("== %s ==" % stage).encode(), timeout=3600)
        until = time.monotonic() + seconds
        while time.monotonic() < until and terminal.read_some():
            pass
        status = terminal.stop("ctrl-c", timeout=60)
        terminal.close()
        left = processes_mentioning(tmp)
        for process in left:
            os.kill(process, signal.SIGKILL)
        return status, left, os.listdir(tmp)


def passes(stage):
    """Whether the stage, run once more to its end, passes."""
    started = time.monotonic()
    status = subprocess.run([TEST, stage], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            check=False).returncode
    print("%s, run again to its end: status %d after %.0f s: %s"
          % (stage, status, time.monotonic() - started, "ok" if status == 0 else "FAILED"),
          flush=True)
    return status == 0


def main(arguments):
    then_pass = arguments[:1] == ["--then-pass"]
    arguments = arguments[1:] if then_pass else arguments
    failed = False
    for argument in arguments:
        stage, _, moments = argument.partition(":")
        for seconds in [float(s) for s in (moments or "5").split(",")]:
            status, processes, files = interrupt(stage, seconds)
            good = (status, processes, files) == (130, [], [])
            failed |= not good
            print("%s, Ctrl-C after %g s: status %d, %d processes and %d files left: %s"
                  % (stage, seconds, status, len(processes), len(files),
                     "ok" if good else "LEFT BEHIND %s %s" % (processes, files)), flush=True)
        if then_pass:
            failed |= not passes(stage)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
