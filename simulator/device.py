"""What the tests, the demo, the bench and the board driver share: the values
of scripts/project.conf, the one timeout factor, the watchdog's own lines, and
the one way to run a program in a private PID namespace and follow it."""

import functools
import os
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIB = os.path.join(ROOT, "scripts", "lib.sh")
BOOT = os.path.join(ROOT, "simulator", "boot")



def read_values(path):
    """The NAME=value lines of a file such as scripts/project.conf or the
    build's service.conf, by name."""
    with open(path, encoding="utf-8") as values:
        return dict(line.rstrip("\n").split("=", 1) for line in values
                    if "=" in line and not line.startswith("#"))


VALUES = read_values(os.path.join(ROOT, "scripts", "project.conf"))
RESIDENTS = VALUES["residents"].split()
TAG = VALUES["tag"]


@functools.lru_cache(maxsize=None)
def _unshare():
    """unshare with the options that make a private PID namespace here, as
    the scripts make it, once they have seen that it is one: on first use,
    never at import."""
    return ["unshare"] + subprocess.run(
        ["bash", "-c", 'source "$0" && require_namespace && namespace_options', LIB],
        stdout=subprocess.PIPE, text=True, check=True).stdout.split() + ["--"]


def _contained(command, first):
    # Unless first, the namespace's first process is a shell that waits for it.
    return _unshare() + (list(command) if first else ["sh", "-c", '"$@"; exit $?', "sh"]
                         + list(command))


def run(command, first=False, **options):
    """Runs COMMAND to its end in a private PID namespace of its own, where a
    restart or a killall reaches nothing here: subprocess.run's result. With
    first, COMMAND is the namespace's first process itself."""
    return subprocess.run(_contained(command, first), **options)  # pylint: disable=subprocess-run-check


# Every bound that depends on the machine's speed is multiplied by this.
TIMEOUT_FACTOR = float(os.environ.get("WDTAG_TIMEOUT_FACTOR", "1"))

# The watchdog's own lines, which the demo and the bench follow and the tests expect.
TIMEOUT_LINE = "Watchdog timeout, reboot system!"
COUNT_PREFIX = VALUES["count_line"].replace("%d", "")


def init_failure_line(code):
    return "Fail to initialize VAZod SDK! error = %d" % code


def open_failure_line(name):
    return "Fail to open tag: " + name


def handler_line(value):
    return VALUES["handler"] + ": KW tag value reset to " + value


def count_lines(first, last):
    return [VALUES["count_line"] % n for n in range(first, last + 1)]


def write_tag(store, name, text):
    """Writes a tag's file as a writer would: open, write, close."""
    with open(os.path.join(store, name), "w", encoding="utf-8") as tag:
        tag.write(text)


def new_store(folder):
    """FOLDER/tags, a new tag store that holds TAG at 0."""
    store = os.path.join(folder, "tags")
    os.mkdir(store)
    write_tag(store, TAG, "0\n")
    return store


def wait_for_echo(store, tag, echoed, alive=lambda: True):
    """Waits until the watchdog holds its tag's handle. The one proof is its
    handler's line for a write made after it started: a change that comes
    before the handle is stored is dropped. Writes the tag's value again,
    each time after twice the last pause, until echoed() holds."""
    with open(os.path.join(store, tag), encoding="utf-8") as held:
        value = held.read()
    deadline, pause = time.monotonic() + 15 * TIMEOUT_FACTOR, 0.1
    while True:
        write_tag(store, tag, value)
        written = time.monotonic()
        while time.monotonic() < written + pause:
            if echoed():
                return
            if not alive():
                raise AssertionError("the watchdog ended before it echoed a write")
            if time.monotonic() > deadline:
                raise AssertionError("the watchdog did not echo a write of its tag within "
                                     "%.0f s" % (15 * TIMEOUT_FACTOR))
            time.sleep(0.01)
        pause = min(2 * pause, 1.0)


def wait_for(condition, timeout=20.0, what="condition"):
    """Polls until the condition holds; fails once the scaled timeout passed."""
    deadline = time.monotonic() + timeout * TIMEOUT_FACTOR
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


def children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid), encoding="ascii") as listed:
        return [int(child) for child in listed.read().split()]


class Followed:
    """A process whose output lines are kept as they come, each with the
    time it was read; standard error apart unless sent to standard output."""

    def __init__(self, command, env=None, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                 **popen):
        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            command, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr, **popen)
        self.lines, self.times, self.errors, self.read = [], [], [], 0
        self.readers = [threading.Thread(target=self._collect, args=(stream, lines, times),
                                         daemon=True)
                        for stream, lines, times in ((self.process.stdout, self.lines, self.times),
                                                     (self.process.stderr, self.errors, []))
                        if stream is not None]
        try:
            for reader in self.readers:
                reader.start()
        except BaseException:  # Ctrl-C here would leave it running unseen
            self.process.kill()
            raise

    @staticmethod
    def _collect(stream, lines, times):
        with stream:
            for line in stream:
                times.append(time.monotonic())
                lines.append(line.decode("utf-8", "surrogateescape").rstrip("\r\n"))

    def ended(self):
        return not any(reader.is_alive() for reader in self.readers)

    def wait_for_line(self, text, timeout=20.0):
        """The first line holding the text, once it came."""
        wait_for(lambda: any(text in line for line in self.lines) or self.ended(), timeout, text)
        found = next((line for line in self.lines if text in line), None)
        if found is None:
            raise AssertionError("ended without a line holding %r:\n%s"
                                 % (text, "\n".join(self.lines + self.errors)))
        return found

    def next_line(self, timeout=20.0):
        """The next line not yet returned, or None once the output ended."""
        wait_for(lambda: len(self.lines) > self.read or self.ended(), timeout, "a line")
        if len(self.lines) == self.read:
            return None
        self.read += 1
        return self.lines[self.read - 1]

    def new_lines(self):
        """The lines that came since the last call, without waiting."""
        lines = self.lines[self.read:]
        self.read += len(lines)
        return lines

    def seen_at(self, text):
        """When the first line holding the text came, or None."""
        return next((at for line, at in zip(self.lines, self.times) if text in line), None)

    def wait_or_end(self, wait, *args):
        """wait(*args), once it started; a failure ends it, so that nothing is left."""
        try:
            return wait(*args)
        except BaseException:
            self.stop()
            raise

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout=60.0):
        """Its status once it ended and its output was read to the end."""
        status = self.process.wait(timeout=timeout * TIMEOUT_FACTOR)
        for reader in self.readers:
            reader.join()
        return status

    def stop(self):
        """Ends it, if it still runs, and returns its status."""
        if self.running():
            self.process.kill()
        return self.wait()


class Contained(Followed):
    """A program in a private PID namespace of its own, where a restart or a
    killall reaches nothing of this machine; killing it ends the namespace.
    With first, the program is the namespace's first process itself."""

    def __init__(self, command, first=False, **options):
        super().__init__(_contained(command, first), **options)
        self.first = first

    def pid(self):
        """The program's PID as this machine numbers it."""
        found = []
        wait_for(lambda: found.extend(children(self.process.pid)) or found, 10, "the namespace")
        if self.first:
            return found[0]
        below = []
        wait_for(lambda: below.extend(children(found[0])) or below, 10, "the program")
        return below[0]
