"""scripts/demo and scripts/test as a new user meets them in a terminal."""

import os
import pty
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from simulator.device import ROOT, TIMEOUT_FACTOR, VALUES, count_lines, run

DEMO = os.path.join(ROOT, "scripts", "demo")
TEST = os.path.join(ROOT, "scripts", "test")


def processes_mentioning(text):
    """PIDs of this machine's processes, but this one, whose command line or
    environment holds the text: every process of a device names its folder."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline, \
                    open("/proc/%s/environ" % pid, "rb") as environ:
                if text.encode() in cmdline.read() + environ.read() and int(pid) != os.getpid():
                    found.append(int(pid))
        except OSError:
            pass
    return found


class Terminal:
    """A command on a pseudo-terminal of its own, as a user runs it, with
    TMPDIR set, stopped as a user would stop it."""

    def __init__(self, command, tmpdir):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["TMPDIR"] = tmpdir
            os.execv(command[0], command)
        self.output, self.status = b"", None

    def read_some(self):
        """What it wrote within a moment; False once its terminal closed."""
        if select.select([self.fd], [], [], 0.1)[0]:
            try:
                self.output += os.read(self.fd, 65536)
            except OSError:
                return False
        return True

    def read_until(self, pattern, timeout=60.0):
        """The first match of the pattern in its output, once it came."""
        deadline = time.monotonic() + timeout * TIMEOUT_FACTOR
        while not re.search(pattern, self.output):
            if time.monotonic() > deadline or not self.read_some():
                raise AssertionError("no %r in:\n%s" % (pattern, self.output.decode()))
        return re.search(pattern, self.output)

    def stop(self, how="ctrl-c", timeout=20.0):
        """Ctrl-C at its terminal, or SIGTERM, and its exit status once it
        ended; SIGKILL at the scaled timeout."""
        if how == "ctrl-c":
            os.write(self.fd, b"\x03")  # the terminal sends SIGINT to its group
        else:
            os.kill(self.pid, signal.SIGTERM)
        deadline = time.monotonic() + timeout * TIMEOUT_FACTOR
        while (finished := os.waitpid(self.pid, os.WNOHANG))[0] == 0:
            if time.monotonic() > deadline:
                os.kill(self.pid, signal.SIGKILL)
            self.read_some() or time.sleep(0.05)
        self.status = os.waitstatus_to_exitcode(finished[1])
        return self.status

    def close(self):
        if self.status is None:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        os.close(self.fd)


class DemoInTerminal(unittest.TestCase):
    """The demo on a pseudo-terminal of its own, stopped as a user would."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="wdtag-demo-test-")
        self.addCleanup(self.tmp.cleanup)
        # The demo's own folders go here, so that leftovers show.
        self.private_tmp = os.path.join(self.tmp.name, "tmp")
        os.mkdir(self.private_tmp)
        self.addCleanup(lambda: [os.kill(pid, signal.SIGKILL)
                                 for pid in processes_mentioning(self.private_tmp)])

    def start(self, *args):
        self.demo = Terminal([DEMO, *args], self.private_tmp)
        self.addCleanup(self.demo.close)
        # The device's folder must lie in the temporary folder it was given.
        folder = self.demo.read_until(rb"simulated device in (\S+);").group(1).decode()
        self.assertEqual(os.path.dirname(folder), self.private_tmp)

    def set_tag(self, value):
        path = self.demo.read_until(rb"echo 1 > (\S+)").group(1).decode()
        with open(path, "w", encoding="utf-8") as tag:
            tag.write(value)

    def stopped(self, how):
        """Stops the demo and returns its exit status and what of it is left."""
        return (self.demo.stop(how), processes_mentioning(self.private_tmp),
                os.listdir(self.private_tmp))

    def test_ctrl_c_with_the_tag_at_zero_ends_the_device_and_its_folders(self):
        self.start("--interactive", "30")
        self.demo.read_until(rb"Ctrl-C stops")
        self.assertEqual(self.stopped("ctrl-c"), (130, [], []))

    def test_ctrl_c_while_counting_ends_the_device_before_its_restart(self):
        self.start("30", "--interactive")
        self.set_tag("1\n")
        self.demo.read_until(count_lines(1, 1)[0].encode())
        self.assertEqual(self.stopped("ctrl-c"), (130, [], []))

    def test_sigterm_ends_a_demo_that_sets_the_tag_itself(self):
        self.start("30")
        self.demo.read_until(count_lines(1, 1)[0].encode())
        self.assertEqual(self.stopped("sigterm"), (143, [], []))


class DemoDeadline(unittest.TestCase):
    def test_a_device_that_counts_but_never_restarts_ends_the_demo_at_its_deadline(self):
        with tempfile.TemporaryDirectory(prefix="wdtag-demo-test-") as scratch:
            # The real watchdog, whose restart request fails: it counts on.
            watchdog = os.path.join(scratch, "watchdog")
            with open(watchdog, "w", encoding="utf-8") as wrapper:
                wrapper.write('#!/bin/sh\nLD_PRELOAD=%s RECORDER_REBOOT=fail exec %s "$@"\n'
                              % (os.environ["CALL_RECORDER"], os.environ["WATCHDOG"]))
            os.chmod(watchdog, 0o755)
            private_tmp = os.path.join(scratch, "tmp")
            os.mkdir(private_tmp)
            env = dict(os.environ, WATCHDOG=watchdog, TMPDIR=private_tmp)
            try:
                finished = subprocess.run([DEMO, "1"], capture_output=True, text=True, env=env,
                                          timeout=11 + 30 * TIMEOUT_FACTOR, check=False)
                left = processes_mentioning(private_tmp)
            finally:  # a demo killed at the timeout leaves its device running
                for pid in processes_mentioning(private_tmp):
                    os.kill(pid, signal.SIGKILL)
            self.assertEqual((finished.returncode, finished.stdout.splitlines()[-1:], left,
                              os.listdir(private_tmp)),
                             (1, ["demo: the simulated device did not restart within 11 s"],
                              [], []), finished.stdout + finished.stderr)


class TestScript(unittest.TestCase):
    def test_every_stage_that_help_lists_is_accepted_and_an_unknown_one_fails_first(self):
        shown = subprocess.run([TEST, "--help"], capture_output=True, text=True, check=True,
                               timeout=30).stdout
        listed = re.findall(r"^  (\S+) ", shown, re.MULTILINE)
        with tempfile.TemporaryDirectory() as scratch:
            calls = os.path.join(scratch, "calls")
            fake = os.path.join(scratch, "apt-get")
            with open(fake, "w", encoding="utf-8") as recorder:
                recorder.write('#!/bin/sh\necho "apt-get $*" >> %s\n' % calls)
            os.chmod(fake, 0o755)
            # A copy of the scripts in a folder without a build tree shows
            # whether one is made.
            copy = os.path.join(scratch, "project")
            shutil.copytree(os.path.join(ROOT, "scripts"), os.path.join(copy, "scripts"))
            env = dict(os.environ, PATH=scratch + ":" + os.environ["PATH"])
            finished = subprocess.run([os.path.join(copy, "scripts", "test"), *listed,
                                       "nosuchstage"], capture_output=True, text=True,
                                      env=env, timeout=30, check=False)
            self.assertEqual((len(listed) > 5, finished.returncode,
                              finished.stderr.splitlines()[:1], os.path.exists(calls),
                              os.path.exists(os.path.join(copy, "build"))),
                             (True, 2, ["test: unknown stage nosuchstage"], False, False))

    def test_contained_runner_refuses_unless_first_of_its_namespace_and_ends_nothing(self):
        beside = ('sleep 600 & "$1" --contained host; status=$?; '
                  'kill -0 $! && echo "still alive"; exit $status')
        finished = run(["sh", "-c", beside, "sh", TEST], first=True, capture_output=True,
                       text=True, timeout=60, check=False)
        self.assertEqual((finished.returncode, finished.stdout, finished.stderr),
                         (2, "still alive\n", "test: --contained must run as the first "
                          "process of a PID namespace\n"))

    def test_ctrl_c_during_a_stage_exits_130_leaving_no_process_and_no_file(self):
        with tempfile.TemporaryDirectory() as scratch:
            # The bench stage of a copy of the scripts, whose program never ends.
            copy, tmp = os.path.join(scratch, "project"), os.path.join(scratch, "tmp")
            shutil.copytree(os.path.join(ROOT, "scripts"), os.path.join(copy, "scripts"))
            os.mkdir(tmp)
            with open(os.path.join(scratch, "python3"), "w", encoding="utf-8") as bench:
                bench.write('#!/bin/sh\necho "bench running"\nexec sleep 600\n')
            os.chmod(os.path.join(scratch, "python3"), 0o755)
            stage = Terminal(["/usr/bin/env", "PATH=%s:%s" % (scratch, os.environ["PATH"]),
                              os.path.join(copy, "scripts", "test"), "bench"], tmp)
            try:
                stage.read_until(rb"bench running")
                status = stage.stop("ctrl-c")
                left = processes_mentioning(tmp)
            finally:
                stage.close()
                for pid in processes_mentioning(tmp):
                    os.kill(pid, signal.SIGKILL)
            self.assertEqual((status, left, os.listdir(tmp)), (130, [], []))


class SysrootScript(unittest.TestCase):
    """scripts/make-sysroot with Debian's archive out of reach."""

    OFFLINE = os.path.join(os.path.dirname(ROOT), "shared", "debian11-armhf")

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)
        self.cache = os.path.join(self.scratch.name, "cache")

    def make(self, offline):
        project = self.scratch.name
        for folder in ("scripts", "cmake"):
            shutil.copytree(os.path.join(ROOT, folder), os.path.join(project, folder))
        self.sysroot = os.path.join(project, "sysroot")
        env = dict(os.environ, DEBIAN_MIRROR="http://127.0.0.1:9/debian", WDTAG_CACHE=self.cache)
        return subprocess.run([os.path.join(project, "scripts", "make-sysroot"), self.sysroot]
                              + ([offline] if offline else []), capture_output=True, text=True,
                              env=env, timeout=120, check=False)

    @unittest.skipUnless(os.path.isdir(OFFLINE), "no folder of the pinned packages beside")
    def test_pinned_packages_from_a_folder_replace_a_truncated_entry_and_link_relatively(self):
        # As an interrupted download leaves it in the cache.
        name = next(n for n in os.listdir(self.OFFLINE) if n.startswith("libc6_"))
        folder = os.path.join(self.cache, "debs", VALUES["sysroot_suite"] + "-armhf")
        os.makedirs(folder)
        with open(os.path.join(self.OFFLINE, name), "rb") as whole, \
                open(os.path.join(folder, name), "wb") as truncated:
            truncated.write(whole.read(187878))
        made = self.make(self.OFFLINE)
        pthread = os.path.join(self.sysroot, "usr", "lib", "arm-linux-gnueabihf", "libpthread.so")
        self.assertEqual((made.returncode, "%s in the cache is damaged; replacing it" % name
                          in made.stderr, os.readlink(pthread).startswith("/"),
                          os.path.isfile(pthread)), (0, True, False, True), made.stderr)

    def test_package_that_is_not_the_pinned_one_is_refused(self):
        with tempfile.TemporaryDirectory() as offline:
            for line in open(os.path.join(ROOT, "cmake", "debian11-armhf.pins")):
                if line.strip() and not line.startswith("#"):
                    package, version = line.split()[:2]
                    with open(os.path.join(offline, "%s_%s_armhf.deb" % (package, version)),
                              "wb") as deb:
                        deb.write(b"not the pinned bytes")
            made = self.make(offline)
        self.assertEqual((made.returncode, "does not have its pinned SHA-256" in made.stderr,
                          os.path.exists(self.sysroot)), (1, True, False), made.stderr)

    def test_no_source_at_all_names_both_ways_out(self):
        made = self.make(None)
        self.assertEqual((made.returncode, "WDTAG_SYSROOT_DEBS" in made.stderr,
                          "WDTAG_SYSROOT " in made.stderr), (1, True, True), made.stderr)
