"""The real watchdog on a simulated device, with nothing interposed: real
sleep, system, killall, sync and reboot. The device is a private PID
namespace, which the restart ends by SIGHUP to its first process."""

import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from project import RESIDENTS, TIMEOUT_FACTOR, UNSHARE
from harness import (EMULATOR, TIMEOUT_LINE, WATCHDOG, check_no_sanitizer_report,
                     count_lines, handler_line, read_transcript, wait_for, write_tag)

BOOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "device", "boot")
RESIDENTS_STOPPED = [name + ": stopped by SIGTERM" for name in RESIDENTS]


class Device:
    """A simulated device running the watchdog on the tag RESET."""

    def __init__(self, workdir, wdt_time, wrapper=(), watchdog_path=None, program=WATCHDOG):
        self.store = os.path.join(workdir, "tags")
        os.mkdir(self.store)
        write_tag(self.store, "RESET", "0")
        self.log = os.path.join(workdir, "watchdog.log")
        env = dict(os.environ, TAGSIM_DIR=self.store, LC_ALL="C")
        if watchdog_path is not None:
            env["WATCHDOG_PATH"] = watchdog_path
        # The namespace's own first process is boot, not a waiting shell.
        command = UNSHARE + ["--", BOOT, workdir, "RESET", str(wdt_time)]
        # Absolute paths: the watchdog's search path may be one without them.
        programs = list(wrapper) + list(EMULATOR)
        if programs:
            programs[0] = shutil.which(programs[0])
        command += programs + [program]
        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = queue.Queue()
        self.seen = []
        self.reader = threading.Thread(target=self.collect)
        self.reader.start()
        self.wait_for_line(lambda line: line.startswith("device: watchdog running"))

    def collect(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for_line(self, matches, timeout=20):
        """Device lines (its own, the residents' and standard error) up to a match."""
        deadline = time.monotonic() + timeout * TIMEOUT_FACTOR
        while True:
            line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            self.seen.append(line)
            if matches(line):
                return

    def log_lines(self):
        return read_transcript(self.log)

    def wait_for_log(self, line, timeout=20):
        wait_for(lambda: line in self.log_lines(), timeout, what=line)

    def set_tag(self, value):
        self.started = time.monotonic()
        write_tag(self.store, "RESET", value + "\n")

    def wait_for_end(self, timeout=30):
        status = self.process.wait(timeout=timeout)
        self.seconds = time.monotonic() - self.started
        self.reader.join()
        while not self.lines.empty():
            self.seen.append(self.lines.get())
        return status

    def running(self):
        return self.process.poll() is None

    def stop(self):
        if self.running():
            self.process.kill()
        self.process.wait()
        self.reader.join()
        self.process.stdout.close()
        check_no_sanitizer_report("\n".join(self.seen))


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.TemporaryDirectory(prefix="wdtag-device-")
        self.devices = []

    def tearDown(self):
        for device in self.devices:
            device.stop()
        self.workdir.cleanup()

    def start(self, wdt_time=2, **options):
        device = Device(self.workdir.name, wdt_time, **options)
        self.devices.append(device)
        return device


class HeldTag(unittest.TestCase):
    """One device, one restart, several things to check about it."""

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory(prefix="wdtag-device-")
        cls.device = Device(cls.workdir.name, 2)
        cls.device.set_tag("1")
        cls.status = cls.device.wait_for_end()

    @classmethod
    def tearDownClass(cls):
        cls.device.stop()
        cls.workdir.cleanup()

    def test_device_is_ended_by_the_restart(self):
        self.assertEqual(self.status, -signal.SIGHUP)

    def test_every_line_is_in_the_log_file(self):
        self.assertEqual(self.device.log_lines(),
                         [handler_line("1.000000"), *count_lines(1, 2), TIMEOUT_LINE])

    def test_both_residents_are_stopped_before_the_device_ends(self):
        self.assertEqual(sorted(set(self.device.seen) & set(RESIDENTS_STOPPED)),
                         sorted(RESIDENTS_STOPPED))

    def test_restart_comes_after_a_second_and_within_five_more(self):
        # Two passes with the tag at 1; the first may follow the write at once.
        # A busy machine adds to each pass, hence the demo's own margin above.
        self.assertTrue(1.0 < self.device.seconds < (2 + 5) * TIMEOUT_FACTOR, self.device.seconds)


class ClearedTag(EndToEnd):
    # wdt_time 3: the 0 written after the first count line has two whole
    # passes to arrive, even on a busy machine.
    def test_zero_before_the_time_cancels_and_a_later_one_counts_from_one(self):
        device = self.start(wdt_time=3)
        device.set_tag("1")
        device.wait_for_log("current count = 1")
        device.set_tag("0")
        device.wait_for_log(handler_line("0.000000"))
        time.sleep(3.5)  # past the watchdog time: the device must still run
        self.assertTrue(device.running())
        device.set_tag("1")
        self.assertEqual(device.wait_for_end(), -signal.SIGHUP)
        self.assertEqual(device.log_lines()[-5:], [handler_line("1.000000"),
                                                   *count_lines(1, 3), TIMEOUT_LINE])

    def test_residents_keep_running_when_the_countdown_is_cancelled(self):
        device = self.start(wdt_time=3)
        device.set_tag("1")
        device.wait_for_log("current count = 1")
        device.set_tag("0")
        time.sleep(3.5)
        self.assertEqual(set(device.seen) & set(RESIDENTS_STOPPED), set())


class Faults(EndToEnd):
    def test_missing_restart_right_keeps_the_device_running_and_counting(self):
        device = self.start(wdt_time=2, wrapper=["setpriv", "--bounding-set", "-sys_boot"])
        device.set_tag("1")
        device.wait_for_line(lambda line: "cannot restart the system" in line)
        device.wait_for_log("current count = 4")
        self.assertEqual((device.running(), device.seen[-1]),
                         (True, "wdtag_poweroff: cannot restart the system: "
                                "Operation not permitted"))

    def test_missing_killall_does_not_stop_the_restart(self):
        device = self.start(wdt_time=1, watchdog_path="/nonexistent")
        device.set_tag("1")
        self.assertEqual(device.wait_for_end(), -signal.SIGHUP)


if __name__ == "__main__":
    unittest.main()
