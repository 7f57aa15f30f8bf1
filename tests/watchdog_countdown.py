"""The once-a-second countdown and the restart sequence."""

import os
import subprocess

from harness import (CALL_RECORDER, RESTART_SEQUENCE, TAG_DOUBLE_DIR, TIMEOUT_FACTOR,
                     TIMEOUT_LINE, WATCHDOG, WatchdogTest, count_lines, handler_line,
                     read_lines, target_command)
from simulator import device
from simulator.device import TAG


class Countdown(WatchdogTest):
    def test_held_tag_counts_one_line_per_pass_then_restarts(self):
        # The recorder ends the process at the restart without flushing stdio,
        # as a real restart does: every line must be in the file by then.
        run = self.run_watchdog(TAG, script="1:1", passes=20)
        self.assertEqual(run.transcript[2:],
                         ["@sleep 1", handler_line("1.000000"), "@delivered 1:1"]
                         + [line for n in range(1, 10)
                            for line in (*count_lines(n, n), "@sleep 1")]
                         + count_lines(10, 10) + RESTART_SEQUENCE)

    def test_zero_read_by_a_pass_restarts_the_count_from_one_and_one_between_passes_does_not(self):
        one, zero = handler_line("1.000000"), handler_line("0.000000")
        runs = {("3", "1:1 3:0 5:1"): [one, *count_lines(1, 2), zero, one, *count_lines(1, 3)],
                ("4", "1:1 2:0 2:1"): [one, *count_lines(1, 1), zero, one, *count_lines(2, 4)]}
        self.assertEqual({key: self.run_watchdog(TAG, key[0], script=key[1],
                                                 passes=20).output for key in runs},
                         {key: output + [TIMEOUT_LINE] for key, output in runs.items()})

    def test_idle_tag_never_restarts_and_each_pass_sleeps_one_second(self):
        run = self.run_watchdog(TAG, "1", passes=12)
        self.assertEqual((run.output, run.calls("@reboot"), run.calls("@sleep")),
                         ([], [], ["@sleep 1"] * 12))


class Restart(WatchdogTest):
    def test_failing_killall_does_not_stop_the_restart(self):
        run = self.run_watchdog(TAG, "2", script="1:1", passes=20,
                                env={"RECORDER_SYSTEM_STATUS": "256"})
        self.assertRestartedAfter(run, count_lines(1, 2))

    def test_commands_run_with_sigpipe_not_ignored(self):
        # An ignored SIGPIPE would be inherited by killall and the shell.
        run = self.run_watchdog(TAG, "1", script="1:1", passes=5,
                                env={"RECORDER_SHOW_SIGPIPE": "1"})
        self.assertEqual(run.calls("@sigpipe"), ["@sigpipe caught"] * 2)

    def test_failure_is_said_on_stderr_alone_and_only_a_new_count_restarts_again(self):
        # The count goes on past the time, then a reset and a new count.
        run = self.run_watchdog(TAG, "3", script="1:1 8:0 9:1", passes=12,
                                env={"RECORDER_REBOOT": "fail"})
        counted = [handler_line("1.000000"), *count_lines(1, 3), TIMEOUT_LINE]
        self.assertEqual((run.output, run.stderr, run.calls("@reboot")),
                         (counted + count_lines(4, 7) + [handler_line("0.000000")] + counted,
                          "wdtag_poweroff: cannot restart the system: "
                          "Operation not permitted\n" * 2, ["@reboot 0x01234567"] * 2))

    def test_hanging_sync_delays_the_restart_five_seconds_at_most(self):
        run = self.run_watchdog(TAG, "1", script="1:1", passes=5,
                                env={"RECORDER_SYNC": "hang"})
        self.assertEqual(run.transcript[-2:], ["@sync", "@reboot 0x01234567"])
        # The upper bound only tells a limit from a hang: a busy machine adds
        # to start-up and to every pass.
        self.assertTrue(4.9 <= run.seconds < 15 * TIMEOUT_FACTOR, run.seconds)

    def test_closed_output_pipe_does_not_stop_the_watchdog(self):
        command = target_command(WATCHDOG, [TAG, "3"], preload=CALL_RECORDER,
                                 library_dir=TAG_DOUBLE_DIR)
        env = self.environment({"TAGDOUBLE_SCRIPT": "1:1", "RECORDER_PASSES": "30"})
        reader, writer = os.pipe()
        os.close(reader)  # a pipe that nobody reads: each write fails with EPIPE
        with os.fdopen(writer, "wb") as closed_pipe:
            status = device.run(command, stdout=closed_pipe, stderr=subprocess.DEVNULL, env=env,
                                timeout=60 * TIMEOUT_FACTOR, check=False).returncode
        self.assertEqual((status, read_lines(self.transcript)[-4:]),
                         (0, RESTART_SEQUENCE[1:]))
