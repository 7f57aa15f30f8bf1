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
        self.addCleanup(self.workdir.cleanup)

    def start(self, wdt_time=2, **options):
        device = Device(self.workdir.name, wdt_time, **options)
        self.addCleanup(device.stop)
        return device

    def test_held_tag_restarts_in_time_with_every_line_logged_and_both_residents_stopped(self):
        device = self.start()
        device.set_tag("1")
        status = device.wait_for_end()
        # Two passes with the tag at 1; the first may follow the write at once.
        # A busy machine adds to each pass, hence the demo's own margin above.
        self.assertEqual((status, device.log_lines(), sorted(set(device.lines)
                                                             & set(RESIDENTS_STOPPED)),
                          1.0 < device.seconds < (2 + 5) * TIMEOUT_FACTOR),
                         (-signal.SIGHUP, [handler_line("1.000000"), *count_lines(1, 2),
                                           TIMEOUT_LINE], sorted(RESIDENTS_STOPPED), True),
                         device.seconds)

    def test_missing_restart_right_keeps_the_device_running_and_counting(self):
        device = self.start(wdt_time=2, wrapper=["setpriv", "--bounding-set", "-sys_boot"])
        device.set_tag("1")
        device.wait_for_line("cannot restart the system")
        device.wait_for_log(count_lines(4, 4)[0])
        # The residents' lines may come before the watchdog's or after it.
        self.assertEqual((device.running(), [line for line in device.lines if line.startswith(
            "wdtag_poweroff:")]), (True, ["wdtag_poweroff: cannot restart the system: "
                                         "Operation not permitted"]))

    def test_missing_killall_does_not_stop_the_restart(self):
        device = self.start(wdt_time=1, watchdog_path="/nonexistent")
        device.set_tag("1")
        self.assertEqual(device.wait_for_end(), -signal.SIGHUP)
