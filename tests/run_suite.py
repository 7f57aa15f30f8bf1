"""Runs one suite: python3 run_suite.py MODULE [TEST_NAME].

First it probes this build's programs: the watchdog with no arguments, in a
private PID namespace, and the stand-in library's probe. Where target
programs cannot run here at all, the suite is skipped with one line saying
why, which also goes to SKIP_REASONS/TEST_NAME for ctest to show; where
they run but cannot load a library, it fails at once with the loader's
message, rather than case by case with empty transcripts. A suite that
runs none of them says so with RUNS_PROGRAMS = False, and is not probed.
"""

import importlib
import os
import sys
import unittest

import harness
from simulator.device import run

SKIPPED = 77  # the suites' SKIP_RETURN_CODE
# A plain exec: a shell or env would run a foreign binary as a script.
EXEC = "import os, sys; os.execv(sys.argv[1], sys.argv[1:])"
# An emulator with no Arm loader, because no sysroot was given to it.
NO_LOADER = "Could not open '/lib/ld-linux"


def probe():
    """None when both programs run; otherwise (status, why)."""
    for program, args, status in ((harness.WATCHDOG, [], 255),
                                  (harness.TAGSIM_PROBE, ["open", "PROBE"], 0)):
        command = (harness.target_command(program, args) if harness.emulated()
                   else [sys.executable, "-c", EXEC, program] + args)
        ran = run(command, capture_output=True, text=True, errors="replace", timeout=60,
                  check=False)
        if "Exec format error" in ran.stderr or NO_LOADER in ran.stderr:
            return SKIPPED, "%s cannot run on this machine: %s" % (
                program, ran.stderr.strip().splitlines()[-1])
        if ran.returncode != status:
            return 1, "%s exited with %d, not %d:\n%s" % (program, ran.returncode, status,
                                                       ran.stderr.strip())
    return None


def main():
    module = importlib.import_module(sys.argv[1])
    # A suite that only reads the built files (RUNS_PROGRAMS = False) needs none to run.
    failed = probe() if getattr(module, "RUNS_PROGRAMS", True) else None
    if failed:
        status, why = failed
        print(("skipped: " if status == SKIPPED else "probe failed: ") + why)
        if status == SKIPPED and os.environ.get("SKIP_REASONS"):
            os.makedirs(os.environ["SKIP_REASONS"], exist_ok=True)
            with open(os.path.join(os.environ["SKIP_REASONS"], sys.argv[-1]), "w",
                      encoding="utf-8") as reason:
                reason.write(why + "\n")
        sys.exit(status)
    unittest.main(module=module, argv=[sys.argv[0], "-v"])


if __name__ == "__main__":
    main()
