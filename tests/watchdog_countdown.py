"""The once-a-second countdown and the restart sequence."""

import subprocess
import unittest

from harness import (CALL_RECORDER, NAMESPACE, RESTART_SEQUENCE, TAG_DOUBLE_DIR,
                     TIMEOUT_LINE, WATCHDOG, WatchdogTest, count_lines, handler_line,
                     read_transcript, target_command)


class Countdown(WatchdogTest):
    def test_held_tag_counts_one_line_per_pass_then_restarts(self):
        run = self.run_watchdog("RESET", script="1:1", passes=20)
        self.assertEqual(run.transcript[2:],
                         ["@sleep 1", handler_line("1.000000")]
                         + [line for n in range(1, 10)
                            for line in ("current count = %d" % n, "@sleep 1")]
                         + ["current count = 10"] + RESTART_SEQUENCE)

    def test_reset_before_time_restarts_count_from_one_silently(self):
        run = self.run_watchdog("RESET", "3", script="1:1 3:0 5:1", passes=20)
        self.assertEqual(run.output, [handler_line("1.000000"), *count_lines(1, 2),
                                      handler_line("0.000000"), handler_line("1.000000"),
                                      *count_lines(1, 3), TIMEOUT_LINE])

    def test_zero_then_one_between_two_passes_does_not_reset_count(self):
        run = self.run_watchdog("RESET", "4", script="1:1 2:0 2:1", passes=20)
        self.assertEqual(run.output, [handler_line("1.000000"), "current count = 1",
                                      handler_line("0.000000"), handler_line("1.000000"),
                                      *count_lines(2, 4), TIMEOUT_LINE])

    def test_idle_tag_never_restarts(self):
        run = self.run_watchdog("RESET", "1", passes=12)
        self.assertEqual((run.output, run.calls("@reboot")), ([], []))

    def test_each_pass_sleeps_one_second(self):
        run = self.run_watchdog("RESET", passes=5)
        self.assertEqual(run.calls("@sleep"), ["@sleep 1"] * 5)

    def test_failing_killall_does_not_stop_the_restart(self):
        run = self.run_watchdog("RESET", "2", script="1:1", passes=20,
                                env={"RECORDER_SYSTEM_STATUS": "256"})
        self.assertRestartedAfter(run, count_lines(1, 2))

    def test_commands_run_with_sigpipe_not_ignored(self):
        # An ignored SIGPIPE would be inherited by killall and the shell.
        run = self.run_watchdog("RESET", "1", script="1:1", passes=5,
                                env={"RECORDER_SHOW_SIGPIPE": "1"})
        self.assertEqual(run.calls("@sigpipe"), ["@sigpipe caught"] * 2)


class FailedRestart(WatchdogTest):
    def run_failing(self, script, passes):
        return self.run_watchdog("RESET", "3", script=script, passes=passes,
                                 env={"RECORDER_REBOOT": "fail"})

    def test_failure_is_said_on_stderr_alone_and_the_count_goes_on_without_a_second_restart(self):
        run = self.run_failing("1:1", 8)
        self.assertEqual((run.output, run.stderr, len(run.calls("@reboot"))),
                         ([handler_line("1.000000"), *count_lines(1, 3), TIMEOUT_LINE,
                           *count_lines(4, 7)],
                          "wdtag_poweroff: cannot restart the system: Operation not permitted\n", 1))

    def test_restart_runs_again_after_a_reset_and_a_new_count(self):
        run = self.run_failing("1:1 5:0 6:1", 14)
        self.assertEqual(run.calls("@reboot"), ["@reboot 0x01234567"] * 2)


class Sync(WatchdogTest):
    def test_sync_comes_after_the_killall_commands_and_before_restart(self):
        run = self.run_watchdog("RESET", "1", script="1:1", passes=5)
        self.assertEqual(run.calls()[-4:], RESTART_SEQUENCE[1:])

    def test_hanging_sync_delays_the_restart_five_seconds_at_most(self):
        run = self.run_watchdog("RESET", "1", script="1:1", passes=5,
                                env={"RECORDER_SYNC": "hang"})
        self.assertEqual(run.transcript[-2:], ["@sync", "@reboot 0x01234567"])
        # The upper bound only tells a limit from a hang: a busy machine adds
        # to start-up and to every pass.
        self.assertTrue(4.9 <= run.seconds < 15, run.seconds)


class Output(WatchdogTest):
    def test_every_line_reaches_a_file_before_the_restart(self):
        # The recorder ends the process at the restart without flushing stdio,
        # as a real restart does.
        run = self.run_watchdog("RESET", "2", script="1:1", passes=10)
        self.assertEqual(run.output, [handler_line("1.000000"), *count_lines(1, 2),
                                      TIMEOUT_LINE])

    def test_closed_output_pipe_does_not_stop_the_watchdog(self):
        command = NAMESPACE + target_command(WATCHDOG, ["RESET", "3"], preload=CALL_RECORDER,
                                             library_dir=TAG_DOUBLE_DIR)
        env = self.environment({"TAGDOUBLE_SCRIPT": "1:1", "RECORDER_PASSES": "30"})
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              env=env) as watchdog:
            watchdog.stdout.close()
            status = watchdog.wait(timeout=60)
        self.assertEqual((status, read_transcript(self.transcript)[-4:]),
                         (0, RESTART_SEQUENCE[1:]))


if __name__ == "__main__":
    unittest.main()
