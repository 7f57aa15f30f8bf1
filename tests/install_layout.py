"""What an integrator installs: the tree, the service files and the packages."""

import filecmp
import glob
import gzip
import os
import re
import signal
import subprocess
import tempfile
import unittest

from harness import emulated, read_transcript, write_tag
from project import UNSHARE
from built_files import glibc_needs, highest
from device_end_to_end import Device

BUILD_DIR = os.environ.get("BUILD_DIR", "")
READELF = "arm-linux-gnueabihf-readelf" if emulated() else "readelf"
ARCHITECTURE = "armhf" if emulated() else "amd64"
# GNUInstallDirs picks Debian's multiarch folder for the host, plain lib for the device.
LIBDIR = "lib" if emulated() else "lib/x86_64-linux-gnu"
CONFFILES = ["/etc/default/wdtag-poweroff", "/etc/init.d/wdtag-poweroff",
             "/etc/logrotate.d/wdtag-poweroff"]
UNIT = "lib/systemd/system/wdtag-poweroff.service"
LAUNCHER = "usr/libexec/wdtag-poweroff/start"
MANUAL = "usr/share/man/man8/wdtag_poweroff.8.gz"
WATCHDOG_FILES = sorted([path[1:] for path in CONFFILES] + [
    UNIT, LAUNCHER, "usr/sbin/wdtag_poweroff", MANUAL] + [
        "usr/share/doc/wdtag-poweroff/" + name for name in (
            "integrating.md", "copyright", "changelog.gz", "examples/confined.conf")])
STANDIN_FILES = ["usr/%s/zedOVEde.so" % LIBDIR, "usr/share/lintian/overrides/wdtag-poweroff-tagsim",
                 "usr/share/doc/wdtag-poweroff-tagsim/copyright",
                 "usr/share/doc/wdtag-poweroff-tagsim/changelog.gz"]


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def readelf_sections(path):
    return subprocess.run([READELF, "-S", "-W", path], capture_output=True, text=True,
                          check=True).stdout


def lintian(packages, scratch):
    """lintian with its info and pedantic tags: (status, what it printed).
    It leaves its ELF caches in TMPDIR, so it gets SCRATCH, which the caller removes."""
    checked = subprocess.run(["lintian", "--display-info", "--pedantic", "--tag-display-limit", "0",
                              "--fail-on", "error,warning,info,pedantic"] + sorted(packages),
                             env=dict(os.environ, TMPDIR=scratch), capture_output=True, text=True,
                             check=False)
    return checked.returncode, checked.stdout


def files_below(root):
    return sorted(os.path.relpath(os.path.join(folder, name), root)
                  for folder, _, names in os.walk(root) for name in names)


class Installed(unittest.TestCase):
    """One DESTDIR install of the build, shared by the checks."""

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory(prefix="wdtag-install-")
        cls.destdir = os.path.join(cls.workdir.name, "root")
        subprocess.run(["cmake", "--install", BUILD_DIR], check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, DESTDIR=cls.destdir))
        cls.program = os.path.join(cls.destdir, "usr/sbin/wdtag_poweroff")
        cls.launcher = os.path.join(cls.destdir, LAUNCHER)

    @classmethod
    def tearDownClass(cls):
        cls.workdir.cleanup()

    def test_tree_holds_program_service_files_and_documents(self):
        expected = WATCHDOG_FILES + ([] if emulated() else STANDIN_FILES)
        self.assertEqual(files_below(self.destdir), sorted(expected))

    def test_program_finds_the_installed_library_through_runpath(self):
        dynamic = subprocess.run([READELF, "-d", self.program], capture_output=True, text=True,
                                 check=True).stdout
        # A device build installs no stand-in, and has no RUNPATH unless told.
        self.assertEqual([line.split("[")[1].rstrip("]") for line in dynamic.splitlines()
                          if "RUNPATH" in line or "(RPATH)" in line],
                         [] if emulated() else ["$ORIGIN/../" + LIBDIR])

    def test_service_files_name_the_installed_program(self):
        unit = read_transcript(os.path.join(self.destdir, UNIT))
        self.assertIn("ExecStart=/%s /usr/sbin/wdtag_poweroff ${WDTAG_TAG} $WDTAG_TIME"
                      % LAUNCHER, unit)

    def test_systemd_accepts_the_unit_and_finds_its_manual_page(self):
        # Only in a private mount namespace does the program stand where the unit says.
        unit = os.path.join(self.destdir, UNIT)
        checked = subprocess.run(
            ["unshare", "--mount", "sh", "-c",
             'mount --bind "$1/sbin" /usr/sbin && mount --bind "$1/libexec" /usr/libexec && '
             'systemd-analyze verify "$2"', "sh", os.path.join(self.destdir, "usr"), unit],
            env=dict(os.environ, MANPATH=os.path.join(self.destdir, "usr/share/man")),
            capture_output=True, text=True, check=False)
        self.assertEqual((checked.returncode, checked.stderr), (0, ""))

    def test_manual_page_renders_without_a_warning_and_names_every_setting(self):
        with gzip.open(os.path.join(self.destdir, MANUAL)) as page:
            rendered = subprocess.run(["groff", "-man", "-ww", "-Tutf8", "-P-cbou"],
                                      input=page.read(), capture_output=True, check=False)
        settings = read_transcript(os.path.join(self.destdir, CONFFILES[0][1:]))
        names = [line.split("=")[0] for line in settings if re.match(r"[A-Z_]+=", line)]
        self.assertEqual((rendered.returncode, rendered.stderr.decode(), [
            name for name in names if name not in rendered.stdout.decode()]), (0, "", []))

    def test_init_script_parses(self):
        subprocess.run(["sh", "-n", os.path.join(self.destdir, "etc/init.d/wdtag-poweroff")],
                       check=True)

    @unittest.skipIf(emulated(), "no stand-in library is installed for the device")
    def test_installed_program_restarts_the_simulated_device(self):
        device = Device(self.workdir.name, 1, program=self.program)
        try:
            device.set_tag("1")
            self.assertEqual(device.wait_for_end(), -signal.SIGHUP)
        finally:
            device.stop()

    @unittest.skipIf(emulated(), "the init script runs the program directly")
    def test_init_script_starts_reports_and_stops_the_watchdog_logging_to_a_file(self):
        store = os.path.join(self.workdir.name, "init-store")
        os.makedirs(store, exist_ok=True)
        write_tag(store, "RESET", "0")
        log = os.path.join(self.workdir.name, "watchdog.log")
        defaults = os.path.join(self.workdir.name, "defaults")
        with open(defaults, "w", encoding="utf-8") as settings:
            settings.write("WDTAG_TAG=RESET\nWDTAG_TIME=100\nDAEMON=%s\nLAUNCHER=%s\nLOG=%s\n"
                           "PIDFILE=%s\nexport TAGSIM_DIR=%s\n" % (self.program, self.launcher, log,
                                                       os.path.join(self.workdir.name, "pid"),
                                                       store))
        # The watchdog may not have opened the tag at the first write: write
        # again until its count shows in the log. SIGTERM ignored here is
        # ignored by the watchdog too: stop must end it all the same.
        cycle = ('trap "" TERM; "$1" start; "$1" status; echo "status $?"; '
                 'until grep -q "current count = 1" "$2" 2>/dev/null; do '
                 'echo 1 > "$3"; sleep 0.2; done; '
                 '"$1" stop; "$1" status; echo "status $?"')
        script = os.path.join(self.destdir, "etc/init.d/wdtag-poweroff")
        finished = subprocess.run(
            UNSHARE + ["--"] + ["sh", "-c", cycle, "sh", script, log,
                                                     os.path.join(store, "RESET")],
            env=dict(os.environ, WDTAG_DEFAULTS=defaults), capture_output=True, text=True,
            timeout=60, check=False)
        lines = [line.split(" (PID")[0] for line in finished.stdout.splitlines()]
        self.assertEqual(lines, ["wdtag-poweroff started", "wdtag-poweroff is running",
                                 "status 0", "wdtag-poweroff stopped",
                                 "wdtag-poweroff is not running", "status 3"])

    @unittest.skipIf(emulated(), "the init script runs the program directly")
    def test_init_script_skips_a_removed_program_and_an_unset_tag_and_reports_a_failed_start(self):
        store = os.path.join(self.workdir.name, "empty-store")
        os.makedirs(store, exist_ok=True)
        pidfile = os.path.join(self.workdir.name, "failed.pid")
        cycle = ('TEST_DAEMON=/nonexistent "$1" start; echo "status $?"; '
                 '"$1" start; echo "status $?"; '
                 'TEST_TAG=MISSING "$1" start 2>&1; echo "status $?"; '
                 '"$1" status; echo "status $?"')
        defaults = os.path.join(self.workdir.name, "failing-defaults")
        with open(defaults, "w", encoding="utf-8") as settings:
            settings.write('WDTAG_TAG=${TEST_TAG-}\nDAEMON=${TEST_DAEMON:-%s}\nLAUNCHER=%s\n'
                           'LOG=%s\nPIDFILE=%s\nexport TAGSIM_DIR=%s\n' % (self.program,
                                                                           self.launcher,
                                                       os.path.join(self.workdir.name, "f.log"),
                                                       pidfile, store))
        finished = subprocess.run(
            UNSHARE + ["--"] + [
                "sh", "-c", cycle, "sh", os.path.join(self.destdir, "etc/init.d/wdtag-poweroff")],
            env=dict(os.environ, WDTAG_DEFAULTS=defaults), capture_output=True, text=True,
            timeout=60, check=False)
        # Removed but not purged: quiet. Not configured: one line. Both exit
        # 0. Failed: what the program wrote (less the OOM line, as this
        # machine may refuse the score), and no PID file left.
        self.assertEqual([line for line in finished.stdout.splitlines()
                          if "OOM killer" not in line], [
            "status 0",
            "wdtag-poweroff: not started: no tag to watch (set WDTAG_TAG in %s)" % defaults,
            "status 0", "wdtag-poweroff: failed to start; it wrote to %s:" % os.path.join(
                self.workdir.name, "f.log"), "Fail to open tag: MISSING", "status 1",
            "wdtag-poweroff is not running", "status 3"])

    def test_install_under_another_prefix_names_that_program_in_system_locations(self):
        destdir = os.path.join(self.workdir.name, "opt-root")
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", "/opt/wdtag"], check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, DESTDIR=destdir))
        unit = read_transcript(os.path.join(destdir, UNIT))
        init = read_transcript(os.path.join(destdir, "etc/init.d/wdtag-poweroff"))
        self.assertEqual(("ExecStart=/opt/wdtag/libexec/wdtag-poweroff/start "
                          "/opt/wdtag/sbin/wdtag_poweroff ${WDTAG_TAG} $WDTAG_TIME" in unit,
                          "DAEMON=/opt/wdtag/sbin/wdtag_poweroff" in init,
                          os.path.isfile(os.path.join(destdir, "opt/wdtag/sbin/wdtag_poweroff")),
                          os.path.isfile(os.path.join(destdir, "etc/default/wdtag-poweroff"))),
                         (True, True, True, True))


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory(prefix="wdtag-packages-")
        subprocess.run(["cpack", "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"),
                        "-B", cls.workdir.name], check=True, stdout=subprocess.DEVNULL)
        cls.packages = {os.path.basename(path).split("_")[0]: path
                        for path in glob.glob(os.path.join(cls.workdir.name, "*.deb"))}

    @classmethod
    def tearDownClass(cls):
        cls.workdir.cleanup()

    def field(self, package, name):
        info = subprocess.run(["dpkg-deb", "-f", self.packages[package], name],
                              capture_output=True, text=True, check=True).stdout
        return info.strip()

    def contents(self, package):
        listing = subprocess.run(["dpkg-deb", "-c", self.packages[package]],
                                 capture_output=True, text=True, check=True).stdout
        return sorted(line.split()[-1][2:] for line in listing.splitlines()
                      if not line.startswith("d"))

    def test_one_package_for_the_watchdog_and_one_for_the_stand_in_on_the_host(self):
        expected = ["wdtag-poweroff"] + ([] if emulated() else ["wdtag-poweroff-tagsim"])
        self.assertEqual(sorted(self.packages), expected)

    def test_watchdog_depends_on_the_c_library_version_its_program_needs(self):
        program = os.path.join(self.workdir.name, "program")
        subprocess.run(["dpkg-deb", "--fsys-tarfile", self.packages["wdtag-poweroff"]],
                       stdout=open(program + ".tar", "wb"), check=True)
        subprocess.run(["tar", "-xOf", program + ".tar", "./usr/sbin/wdtag_poweroff"],
                       stdout=open(program, "wb"), check=True)
        self.assertEqual(self.field("wdtag-poweroff", "Depends"),
                         "libc6 (>= %s), psmisc" % highest(glibc_needs(program)))

    def test_architecture_is_the_targets(self):
        self.assertEqual({self.field(package, "Architecture") for package in self.packages},
                         {ARCHITECTURE})

    def test_watchdog_package_holds_program_service_files_and_license(self):
        self.assertEqual(self.contents("wdtag-poweroff"), sorted(WATCHDOG_FILES))

    @unittest.skipIf(emulated(), "the device has the vendor's library")
    def test_stand_in_package_holds_the_library_alone(self):
        self.assertEqual(self.contents("wdtag-poweroff-tagsim"), sorted(STANDIN_FILES))

    def test_every_prefix_gives_a_stripped_self_consistent_package_laid_out_for_usr(self):
        builds = {"preset": BUILD_DIR}
        if not emulated():  # the device build's sysroot and emulator would be needed twice more
            for prefix in ("", "/opt/wdtag"):  # "": CMake's own default, /usr/local
                scratch = os.path.join(self.workdir.name, "build" + prefix.replace("/", "-"))
                subprocess.run(["cmake", "-S", ROOT, "-B", scratch, "-DBUILD_TESTING=OFF"]
                               + (["-DCMAKE_INSTALL_PREFIX=" + prefix] if prefix else []),
                               check=True, stdout=subprocess.DEVNULL)
                subprocess.run(["cmake", "--build", scratch], check=True,
                               stdout=subprocess.DEVNULL)
                builds[prefix or "/usr/local"] = scratch
        for name, build in builds.items():
            out = os.path.join(self.workdir.name, "packages-" + name.replace("/", "-"))
            subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B",
                            out], check=True, stdout=subprocess.DEVNULL)
            package = glob.glob(os.path.join(out, "wdtag-poweroff_*.deb"))[0]
            tree = os.path.join(out, "tree")
            subprocess.run(["dpkg-deb", "-x", package, tree], check=True)
            unit = read_transcript(os.path.join(tree, UNIT))
            init = read_transcript(os.path.join(tree, "etc/init.d/wdtag-poweroff"))
            sections = readelf_sections(os.path.join(tree, "usr/sbin/wdtag_poweroff"))
            self.assertEqual((files_below(tree), ".symtab" in sections,
                              [line for line in unit if line.startswith("ExecStart=")],
                              [line for line in init if line.startswith("DAEMON=")],
                              self.conffiles(package)),
                             (sorted(WATCHDOG_FILES), False,
                              ["ExecStart=/%s /usr/sbin/wdtag_poweroff ${WDTAG_TAG} $WDTAG_TIME"
                               % LAUNCHER],
                              ["DAEMON=/usr/sbin/wdtag_poweroff"], CONFFILES), name)

    def test_lintian_reports_nothing_that_is_not_overridden(self):
        self.assertEqual(lintian(self.packages.values(), self.workdir.name), (0, ""))

    def test_another_folder_at_another_time_gives_the_same_bytes_unless_the_epoch_is_set(self):
        scratch = os.path.join(self.workdir.name, "elsewhere", "another-build-folder")
        subprocess.run(["cmake", "--preset", "armhf" if emulated() else "host", "-B", scratch,
                        "-DBUILD_TESTING=OFF"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", scratch], check=True, stdout=subprocess.DEVNULL)
        environment = dict(os.environ)
        environment.pop("SOURCE_DATE_EPOCH", None)
        made = {}
        for epoch in ("", "86400"):
            out = os.path.join(scratch, "packages" + epoch)
            subprocess.run(["cpack", "--config", os.path.join(scratch, "CPackConfig.cmake"),
                            "-B", out], check=True, stdout=subprocess.DEVNULL,
                           env=dict(environment, SOURCE_DATE_EPOCH=epoch) if epoch else environment)
            made[epoch] = {name: os.path.join(out, os.path.basename(path))
                           for name, path in self.packages.items()}
        listing = subprocess.run(["dpkg-deb", "-c", made["86400"]["wdtag-poweroff"]],
                                 capture_output=True, text=True, check=True).stdout
        self.assertEqual(([name for name, path in self.packages.items()
                           if not filecmp.cmp(path, made[""][name], shallow=False)],
                          {line.split()[3] for line in listing.splitlines()}),
                         ([], {"1970-01-02"}))

    @staticmethod
    def conffiles(package):
        control = subprocess.run(["dpkg-deb", "--ctrl-tarfile", package],
                                 capture_output=True, check=True).stdout
        return subprocess.run(["tar", "-xO", "./conffiles"], input=control,
                              capture_output=True, check=True).stdout.decode().split()

    def test_settings_and_init_script_are_conffiles(self):
        self.assertEqual(self.conffiles(self.packages["wdtag-poweroff"]), CONFFILES)


if __name__ == "__main__":
    unittest.main()
