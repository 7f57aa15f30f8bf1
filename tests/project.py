"""What the tests, the bench and the board driver share with the scripts:
scripts/project.conf, the private PID namespace, the build's cache and the
one timeout factor for slow machines."""

import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _read_values():
    values = {}
    with open(os.path.join(ROOT, "scripts", "project.conf"), encoding="utf-8") as conf:
        for line in conf:
            if "=" in line and not line.startswith("#"):
                name, value = line.rstrip("\n").split("=", 1)
                values[name] = value
    return values


VALUES = _read_values()
RESIDENTS = VALUES["residents"].split()

# unshare and its options; a user namespace of our own where we are not root.
UNSHARE = (["unshare"] + ([] if os.geteuid() == 0 else ["--user", "--map-root-user"])
          + VALUES["namespace"].split())

# Every bound that depends on the machine's speed is multiplied by this.
TIMEOUT_FACTOR = float(os.environ.get("WDTAG_TIMEOUT_FACTOR", "1"))


def cache_dir():
    """The build's cache folder (its WDTAG_CACHE_DIR), which ctest passes on."""
    folder = os.environ["WDTAG_CACHE"]
    os.makedirs(folder, exist_ok=True)
    return folder
