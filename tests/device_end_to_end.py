"""The real watchdog on a simulated device, with nothing interposed: real
sleep, system, killall, sync and reboot. The device is a private PID
namespace, which the restart ends by SIGHUP to its first process."""

import signal
import tempfile
import unittest

from harness import RESIDENTS, TIMEOUT_FACTOR, TIMEOUT_LINE, Device, count_lines, handler_line

RESIDENTS_STOPPED = [name + ": stopped by SIGTERM" for name in RESIDENTS]


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
        self.assertEqual(sorted(set(self.device.lines) & set(RESIDENTS_STOPPED)),
                         sorted(RESIDENTS_STOPPED))

    def test_restart_comes_after_a_second_and_within_five_more(self):
        # Two passes with the tag at 1; the first may follow the write at once.
        # A busy machine adds to each pass, hence the demo's own margin above.
        self.assertTrue(1.0 < self.device.seconds < (2 + 5) * TIMEOUT_FACTOR, self.device.seconds)


class Faults(EndToEnd):
    def test_missing_restart_right_keeps_the_device_running_and_counting(self):
        device = self.start(wdt_time=2, wrapper=["setpriv", "--bounding-set", "-sys_boot"])
        device.set_tag("1")
        device.wait_for_line("cannot restart the system")
        device.wait_for_log("current count = 4")
        self.assertEqual((device.running(), device.lines[-1]),
                         (True, "wdtag_poweroff: cannot restart the system: "
                                "Operation not permitted"))

    def test_missing_killall_does_not_stop_the_restart(self):
        device = self.start(wdt_time=1, watchdog_path="/nonexistent")
        device.set_tag("1")
        self.assertEqual(device.wait_for_end(), -signal.SIGHUP)
