"""What needs Debian's archive (ctest's label network). The host package's
maintainer scripts, for real, in a throwaway Debian root: installed,
upgraded, removed and purged with dpkg inside a private PID namespace, where
a policy-rc.d records every start or stop it is asked for and allows none.
Nothing of the package ever runs on this machine's root. And the cache of
Debian's packages, repaired after an interrupt."""

import glob
import os
import subprocess
import tempfile
import unittest

from install_layout import INIT, SERVICE, SETTINGS
from simulator.device import LIB, TAG, TIMEOUT_FACTOR, VALUES, run

BUILD_DIR = os.environ.get("BUILD_DIR", "")
ROOT_PACKAGES = ["init-system-helpers", "psmisc"]
REQUESTS = "var/log/policy-rc.d.requests"
RECORDING_POLICY = ('#!/bin/sh\n# Records what is asked, allows nothing.\n'
                    'echo "$1 $2" | tr -d "()" >> /%s\nexit 101\n' % REQUESTS)
ENABLED = ["etc/systemd/system/multi-user.target.wants/wdtag-poweroff.service",
           "etc/rc2.d/S01wdtag-poweroff", "etc/rc0.d/K01wdtag-poweroff"]
MASKED = ["etc/systemd/system/wdtag-poweroff.service"]
LOG, PIDFILE = (SERVICE[name].lstrip("/") for name in ("WDTAG_LOG", "WDTAG_PIDFILE"))
LEFT_BY_THE_SERVICE = [LOG, LOG + ".1", LOG + ".2.gz", PIDFILE, PIDFILE + ".lock",
                       PIDFILE + ".lock.d/holder"]


def debian_root():
    """A minimal Debian root of this machine's architecture, as a tar in the cache."""
    architecture = subprocess.check_output(["dpkg", "--print-architecture"], text=True).strip()
    return subprocess.check_output(
        ["bash", "-c", 'source "$0" && lock_cache && debian_root "$@"', LIB,
         VALUES["board_suite"], architecture, *ROOT_PACKAGES],
        text=True, timeout=900 * TIMEOUT_FACTOR).strip()


class MaintainerScripts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory(prefix="wdtag-package-")
        cls.addClassCleanup(cls.workdir.cleanup)
        cls.root = os.path.join(cls.workdir.name, "root")
        os.mkdir(cls.root)
        subprocess.run(["tar", "-C", cls.root, "-xf", debian_root()], check=True)
        policy = os.path.join(cls.root, "usr/sbin/policy-rc.d")
        with open(policy, "w", encoding="utf-8") as script:
            script.write(RECORDING_POLICY)
        os.chmod(policy, 0o755)
        # The same files as two versions, for an upgrade.
        for version in ("1.0.0", "1.0.1"):
            subprocess.run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                            "-D", "CPACK_PACKAGE_VERSION=" + version,
                            "-B", os.path.join(cls.root, "tmp", version)],
                           check=True, stdout=subprocess.DEVNULL)

    def dpkg(self, *args):
        run(["chroot", self.root, "dpkg", "--force-confold", *args], first=True, check=True,
            stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120 * TIMEOUT_FACTOR)

    def package(self, version, name="wdtag-poweroff"):
        found = glob.glob(os.path.join(self.root, "tmp", version, name + "_*.deb"))
        return "/" + os.path.relpath(found[0], self.root)

    def executable(self, path):
        return os.access(os.path.join(self.root, path), os.X_OK)

    def lines(self, path, start=""):
        """The lines of a file in the root that begin so; None without the file."""
        path = os.path.join(self.root, path)
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as text:
            return [line for line in text.read().splitlines() if line.startswith(start)]

    def requests(self):
        """What the scripts asked of the service since the last call."""
        lines = self.lines(REQUESTS)
        if lines is not None:
            os.unlink(os.path.join(self.root, REQUESTS))
        return lines or []

    def exists(self, paths):
        return [path for path in paths if os.path.lexists(os.path.join(self.root, path))]

    def settings(self):
        return self.lines(SETTINGS, "WDTAG_TAG=")

    def test_install_upgrade_remove_install_again_and_purge(self):
        self.dpkg("-i", self.package("1.0.0"))
        self.assertEqual((self.exists(ENABLED), self.requests(), self.settings()),
                         (ENABLED, ["wdtag-poweroff start"], ["WDTAG_TAG="]))

        subprocess.run(["sed", "-i", "s/^WDTAG_TAG=$/WDTAG_TAG=%s/" % TAG,
                        os.path.join(self.root, SETTINGS)], check=True)
        self.dpkg("-i", self.package("1.0.1"))
        self.assertEqual((self.exists(ENABLED), self.requests(), self.settings()),
                         (ENABLED, ["wdtag-poweroff restart"], ["WDTAG_TAG=" + TAG]))

        # Removed, not purged: the init script stays as it was and exits at
        # once without the program; the unit is masked.
        self.dpkg("-r", "wdtag-poweroff")
        self.assertEqual((self.requests(), self.settings(), self.exists(["usr/sbin/wdtag_poweroff"]),
                          self.executable(INIT), self.exists(MASKED)),
                         (["wdtag-poweroff stop"], ["WDTAG_TAG=" + TAG], [], True, MASKED))

        # Installed again: enabled and started as after the first install.
        self.dpkg("-i", self.package("1.0.1"))
        self.assertEqual((self.exists(ENABLED), self.requests(), self.executable(INIT),
                          self.exists(MASKED)),
                         (ENABLED, ["wdtag-poweroff restart"], True, []))

        self.dpkg("-r", "wdtag-poweroff")
        self.requests()
        for path in LEFT_BY_THE_SERVICE:
            os.makedirs(os.path.dirname(os.path.join(self.root, path)), exist_ok=True)
            with open(os.path.join(self.root, path), "w", encoding="utf-8") as left:
                left.write("left by the service\n")
        self.dpkg("-P", "wdtag-poweroff")
        self.assertEqual((self.requests(), self.settings(), self.exists(LEFT_BY_THE_SERVICE),
                          self.exists(ENABLED + MASKED), self.exists([INIT])),
                         ([], None, [], [], []))

    def test_init_script_restart_after_an_upgrade_leaves_exactly_one_watchdog(self):
        # The real watchdog on a tag held at 0, in the root's own PID
        # namespace: a restart could end only that namespace.
        # upgrade OLD OLD_STANDIN NEW SETTINGS INIT_SCRIPT TAG
        upgrade = (
            'dpkg -i "$1" "$2" >/dev/null && sed -i "s|^WDTAG_TAG=.*|WDTAG_TAG=$6|" "$4" && '
            'echo TAGSIM_DIR=/tmp/tags >> "$4" && mkdir -p /tmp/tags && echo 0 > "/tmp/tags/$6" && '
            '"$5" start >/dev/null && dpkg -i "$3" >/dev/null && "$5" restart && '
            'for exe in /proc/[0-9]*/exe; do readlink "$exe"; done | grep wdtag_poweroff; '
            'dpkg -P wdtag-poweroff wdtag-poweroff-tagsim >/dev/null')
        finished = run(
            ["sh", "-c", 'mount -t proc proc "$1/proc" && root=$1 && shift && '
             'exec chroot "$root" sh -c "$@"', "sh", self.root, upgrade, "upgrade",
             self.package("1.0.0"), self.package("1.0.0", "wdtag-poweroff-tagsim"),
             self.package("1.0.1"), "/" + SETTINGS, "/" + INIT, TAG],
            first=True, capture_output=True, text=True, stdin=subprocess.DEVNULL,
            timeout=120 * TIMEOUT_FACTOR, check=False)
        self.requests()
        self.assertEqual((finished.stdout.splitlines()[:1], finished.stdout.splitlines()[2:]),
                         (["wdtag-poweroff stopped"], ["/usr/sbin/wdtag_poweroff"]),
                         finished.stdout + finished.stderr)


class DebianPackageCache(unittest.TestCase):
    """A package that an interrupt left truncated in the cache."""

    def test_truncated_entry_is_said_replaced_and_comes_back_whole(self):
        with tempfile.TemporaryDirectory(prefix="wdtag-cache-test-") as cache:
            fetch = 'source "$1"; lock_cache; fetch_deb %s armhf hostname' % VALUES["board_suite"]
            env = dict(os.environ, WDTAG_CACHE=cache)
            first = subprocess.run(["bash", "-euc", fetch, "bash", LIB], capture_output=True,
                                   text=True, env=env, timeout=300, check=True).stdout.strip()
            size = os.path.getsize(first)
            os.truncate(first, size // 3)
            again = subprocess.run(["bash", "-euc", fetch, "bash", LIB], capture_output=True,
                                   text=True, env=env, timeout=300, check=False)
            self.assertEqual((again.returncode, again.stdout.strip(), os.path.getsize(first),
                              "%s in the cache is damaged; replacing it" % os.path.basename(first)
                              in again.stderr, sorted(os.listdir(os.path.dirname(first)))),
                             (0, first, size, True, [os.path.basename(first)]), again.stderr)
