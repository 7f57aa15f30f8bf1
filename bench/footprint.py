"""Measures the watchdog as a resident process, side by side with the floor of
a resident program on glibc (`sleep infinity`) and with a shell loop that does
the same job, each in a private PID namespace, and prints Markdown tables:
memory and wake-ups while idle, the latency from a tag write to the handler's
line, the length of a countdown, the stripped sizes, and each target beside
its figure, met or missed. The targets are information: the exit status does
not depend on them. Every program it starts ends with it, on Ctrl-C and
SIGTERM too. Run it from the project's folder:

    python3 -B -m bench.footprint [--short | --board] [--write FILE]
"""

import argparse
import contextlib
import io
import os
import pathlib
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from simulator.board import Board
from simulator.device import (ROOT, TAG, TIMEOUT_FACTOR, TIMEOUT_LINE, Contained, children,
                              count_lines, handler_line, new_store, wait_for_echo, write_tag)

HOST = os.path.join(ROOT, "build", "host")
ARMHF = os.path.join(ROOT, "build", "armhf")
WATCHDOG = os.path.join(HOST, "src", "wdtag_poweroff")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def build(presets=("host", "armhf"), target="all"):
    for preset in presets:
        if preset == "armhf" and not shutil.which("arm-linux-gnueabihf-g++"):
            continue
        subprocess.run(["cmake", "--preset", preset], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", preset, "--target", target], cwd=ROOT,
                       check=True, stdout=subprocess.DEVNULL)


def field(text, name):
    for line in text.splitlines():
        if line.startswith(name + ":"):
            return line.split()[1:]
    raise KeyError(name)


# What a run started and made, ended and removed however it ends.
RUNNING, STORES = [], []


class Subject(Contained):
    """A program in a private PID namespace of its own, seen from outside."""

    def __init__(self, command, env=None, stdout=subprocess.DEVNULL):
        # A session of its own: Ctrl-C reaches the bench alone, which ends it.
        super().__init__(command, env=dict(os.environ, LC_ALL="C", **(env or {})),
                         stdout=stdout, stderr=subprocess.DEVNULL, start_new_session=True)
        RUNNING.append(self)
        self.program = self.pid()

    def sample(self):
        stat = pathlib.Path("/proc/%d/stat" % self.program).read_text().rsplit(")", 1)[1].split()
        switches = {}
        for tid in sorted(int(tid) for tid in os.listdir("/proc/%d/task" % self.program)):
            status = pathlib.Path("/proc/%d/task/%d/status" % (self.program, tid)).read_text()
            switches[tid] = (int(field(status, "voluntary_ctxt_switches")[0]),
                             int(field(status, "nonvoluntary_ctxt_switches")[0]))
        # Its own CPU time and that of the children it has waited for.
        cpu = sum(int(ticks) for ticks in stat[11:15])
        return {"time": time.monotonic(), "cpu": cpu,
                "switches": switches, "newest_pid": self.newest_namespace_pid()}

    def newest_namespace_pid(self):
        """The highest PID in the namespace that is alive now, as the namespace
        numbers it: a measure of how many processes it has started."""
        return max(int(field(pathlib.Path("/proc/%d/status" % pid).read_text(), "NSpid")[-1])
                   for pid in [self.program] + children(self.program))

    def memory(self):
        rollup = pathlib.Path("/proc/%d/smaps_rollup" % self.program).read_text()
        return {name: int(field(rollup, name)[0]) for name in ("Rss", "Pss", "Private_Dirty")}


def idle(subjects, seconds):
    """Memory and activity of subjects left alone, all in the same window."""
    time.sleep(1)  # past start-up
    first = {name: subject.sample() for name, subject in subjects.items()}
    time.sleep(seconds)
    results = {}
    for name, subject in subjects.items():
        results[name] = activity(first[name], subject.sample())
        results[name].update(subject.memory())
        subject.stop()
    return results


def activity(first, last):
    window = last["time"] - first["time"]
    rates = ["%s %.2f / %.2f" % ("main" if index == 0 else "library", *(
        (now - then) / window for now, then in zip(last["switches"][tid], first["switches"][tid])))
             for index, tid in enumerate(sorted(last["switches"])) if tid in first["switches"]]
    return {"cpu_ms": (last["cpu"] - first["cpu"]) * 1000 / CLOCK_TICKS,
            "switches": "; ".join(rates),
            "started": last["newest_pid"] - first["newest_pid"]}


def tag_store():
    """A new tag store, removed when the run ends."""
    STORES.append(tempfile.mkdtemp(prefix="wdtag-bench-"))
    return new_store(STORES[-1])


def latency(writes):
    """Seconds from a completed write of the tag file to the handler's line,
    read here as it comes: a thread of the bench's own between would add its
    wake-up. Measured once the watchdog echoed a write: its handle is then
    stored."""
    store = tag_store()
    reading, writing = os.pipe()
    subject = Subject([WATCHDOG, TAG, "2000000"], env={"TAGSIM_DIR": store}, stdout=writing)
    os.close(writing)
    wait_for_echo(store, TAG, lambda: select.select([reading], [], [], 0)[0], subject.running)
    samples = []
    with os.fdopen(reading, "rb") as output:
        for n in range(writes):
            write_tag(store, TAG, "10"[n % 2])
            written = time.perf_counter()
            line = b""
            signal.alarm(int(10 * TIMEOUT_FACTOR) + 1)  # a handler line that never comes
            while line != (handler_line("10"[n % 2] + ".000000") + "\n").encode():
                line = output.readline() or sys.exit("the watchdog ended")
            signal.alarm(0)
            samples.append(time.perf_counter() - written)
            time.sleep(0.002)
    subject.stop()
    samples.sort()
    return {"median": statistics.median(samples),
            "p99": samples[min(len(samples) - 1, int(len(samples) * 0.99))],
            "max": samples[-1]}


def countdown(wdt_time):
    """From the handler's line for 1 to the timeout line, and the mean pass.
    The real restart ends the namespace. Measured once the watchdog echoed a
    write, as the latency."""
    store = tag_store()
    subject = Subject([WATCHDOG, TAG, str(wdt_time)], env={"TAGSIM_DIR": store},
                      stdout=subprocess.PIPE)
    wait_for_echo(store, TAG, lambda: subject.lines, subject.running)
    write_tag(store, TAG, "1")
    subject.wait(10 + wdt_time)
    start, first_count, end = (subject.seen_at(text) for text in (
        handler_line("1.000000"), count_lines(1, 1)[0], TIMEOUT_LINE))
    return {"total": end - start, "pass": (end - first_count) / max(1, wdt_time - 1)}


def stripped_size(path, strip):
    if not os.path.exists(path) or not shutil.which(strip):
        return None
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "stripped")
        subprocess.run([strip, "-o", copy, path], check=True)
        return os.path.getsize(copy)


def needed(path, readelf):
    out = subprocess.run([readelf, "-d", path], capture_output=True, text=True, check=True)
    return [line.split("[")[1].rstrip("]") for line in out.stdout.splitlines()
            if "(NEEDED)" in line]


def hardened(path, readelf):
    """Full RELRO: a GNU_RELRO segment, and every symbol bound at start-up."""
    headers = subprocess.run([readelf, "-l", "-d", path], capture_output=True, text=True,
                             check=True).stdout
    return "GNU_RELRO" in headers and re.search(r"\(FLAGS(_1)?\).*\bNOW\b", headers) is not None


def board_footprint():
    """Memory of the idle watchdog and of the floor on the BusyBox board."""
    build(("armhf",), "board-busybox")
    with tempfile.TemporaryDirectory(prefix="wdtag-bench-board-") as scratch, \
            Board("busybox", scratch) as board:
        board.boot("footprint").wait_end()
        console = board.qemu.lines
    results = {}
    for line in console:
        if line.startswith("board: footprint "):
            words = line.split()
            results[words[2]] = {words[i].rstrip(":"): int(words[i + 1])
                                 for i in range(3, len(words) - 1, 2)}
    if len(results) != 2:
        raise RuntimeError("the board gave no footprint:\n" + "\n".join(console))
    print("Measured %s on the BusyBox board (qemu-system-arm -M virt, Cortex-A15; %s).\n"
          % (time.strftime("%Y-%m-%d"), board.contents()))
    print("| Resident | VmRSS | Rss | Pss | Private_Dirty | Anonymous |")
    print("|---|---|---|---|---|---|")
    floor = results["sleep_infinity"]
    for name, label in (("wdtag_poweroff", "wdtag_poweroff (tag at 0)"),
                        ("sleep_infinity", "sleep infinity (coreutils, dynamic)")):
        result = results[name]
        print("| %s | %s |" % (label, " | ".join(
            "%d KiB" % result[measure] + ("" if result is floor else " (%+d)" % (
                result[measure] - floor[measure]))
            for measure in ("VmRSS", "Rss", "Pss", "Private_Dirty", "Anonymous"))))


def host_footprint(short):
    """The tables of a run on this machine."""
    window, writes, wdt_time = (2, 50, 3) if short else (30, 500, 10)
    build()
    store = tag_store()
    subjects = {
        "wdtag_poweroff (tag at 0)": Subject([WATCHDOG, TAG], env={"TAGSIM_DIR": store}),
        "sleep infinity": Subject(["sleep", "infinity"]),
        "shell loop (bench/shell_watchdog.sh)": Subject(
            ["sh", os.path.join(ROOT, "bench", "shell_watchdog.sh"),
             os.path.join(store, TAG)]),
    }
    results = idle(subjects, window)
    floor = results["sleep infinity"]
    timing = latency(writes)
    passes = countdown(wdt_time)

    print("Measured %s on %s, %d CPUs, kernel %s; LC_ALL=C; idle window %d s.\n" % (
        time.strftime("%Y-%m-%d"), os.uname().machine, os.cpu_count(), os.uname().release,
        window))
    print("| Resident | Rss | Pss | Private_Dirty (difference from sleep infinity) "
          "| CPU in window | context switches/s "
          "per thread (voluntary / involuntary) | processes started |")
    print("|---|---|---|---|---|---|---|")
    for name, result in results.items():
        extra = "" if result is floor else " (%+d)" % (
            result["Private_Dirty"] - floor["Private_Dirty"])
        print("| %s | %d KiB | %d KiB | %d KiB%s | %.0f ms | %s | %d |" % (
            name, result["Rss"], result["Pss"], result["Private_Dirty"], extra,
            result["cpu_ms"], result["switches"], result["started"]))
    print()
    print("| Measure | Value |")
    print("|---|---|")
    print("| tag write to handler line, %d writes: median / p99 / max | %.3f / %.3f / %.3f ms |"
          % (writes, timing["median"] * 1e3, timing["p99"] * 1e3, timing["max"] * 1e3))
    print("| handler line for 1 to timeout line, wdt_time %d | %.3f s |"
          % (wdt_time, passes["total"]))
    print("| mean pass (count line to count line) | %.4f s |" % passes["pass"])
    sizes = {}
    for label, build_dir, strip, readelf in (
            ("host", HOST, "strip", "readelf"),
            ("armhf", ARMHF, "arm-linux-gnueabihf-strip", "arm-linux-gnueabihf-readelf")):
        program = os.path.join(build_dir, "src", "wdtag_poweroff")
        if stripped_size(program, strip) is None:
            continue
        # The stand-in is the library that the program needs from the build tree.
        library = next(path for path in (os.path.join(build_dir, "tagsim", name)
                                         for name in needed(program, readelf))
                       if os.path.exists(path))
        program_size, library_size = stripped_size(program, strip), stripped_size(library, strip)
        sizes[label] = program_size, hardened(program, readelf)
        print("| stripped program / stand-in library, %s | %d / %d bytes |"
              % (label, program_size, library_size))
        print("| program's dependencies, %s | %s |" % (label, ", ".join(needed(program, readelf))))
    print()
    print_targets(results, floor, timing, sizes)


def print_targets(results, floor, timing, sizes):
    """Each target beside its figure; information only."""
    watchdog = results["wdtag_poweroff (tag at 0)"]
    rows = [
        ("Private_Dirty above sleep infinity's", "at most +64 KiB",
         watchdog["Private_Dirty"] - floor["Private_Dirty"], 64, "%+d KiB"),
        ("Pss above sleep infinity's", "at most +128 KiB",
         watchdog["Pss"] - floor["Pss"], 128, "%+d KiB"),
        ("tag write to handler line, p99", "under 2 ms", timing["p99"] * 1e3, 2, "%.3f ms"),
    ]
    if "armhf" in sizes:
        size, relro = sizes["armhf"]
        # Without full RELRO no size meets it.
        rows.append(("stripped armhf program, full RELRO and immediate binding",
                     "at most 10240 bytes", size, 10240 if relro else -1, "%d bytes"))
    print("| Target | Goal | Figure | |")
    print("|---|---|---|---|")
    for name, goal, figure, limit, form in rows:
        print("| %s | %s | %s | %s |" % (name, goal, form % figure,
                                          "met" if figure <= limit else "missed"))


def with_tables(path, marker, text):
    """PATH's text with TEXT between the marker's BEGIN and END lines."""
    begin, end = "<!-- %s BEGIN -->\n" % marker, "<!-- %s END -->" % marker
    try:
        with open(path, encoding="utf-8") as document:
            old = document.read()
    except OSError as error:
        sys.exit("bench: cannot read %s: %s" % (path, error.strerror))
    if begin not in old or end not in old:
        sys.exit("bench: %s has no %s and %s lines" % (path, begin.strip(), end))
    head, rest = old.split(begin, 1)
    return head + begin + text + rest[rest.index(end):]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawTextHelpFormatter)
    kind = parser.add_mutually_exclusive_group()
    kind.add_argument("--short", action="store_true", help="a few seconds instead of about a "
                      "minute:\nfewer writes and a shorter window, for the test run")
    kind.add_argument("--board", action="store_true", help="the idle watchdog beside a dynamic "
                      "sleep infinity\non the same glibc instead, on the BusyBox board, an\n"
                      "emulated 32-bit Arm machine (builds the target board-busybox)")
    parser.add_argument("--write", metavar="FILE", help="put the tables into FILE instead, "
                        "between its lines\n<!-- footprint BEGIN --> and <!-- footprint END -->"
                        "\n(footprint-board with --board)")
    arguments = parser.parse_args()
    marker = "footprint-board" if arguments.board else "footprint"
    if arguments.write:  # a wrong FILE fails now, not after the run
        with_tables(arguments.write, marker, "")
    # SIGTERM ends the run as Ctrl-C does, through the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("bench: no handler line within 10 s"))
    tables = io.StringIO()
    try:
        with contextlib.redirect_stdout(tables if arguments.write else sys.stdout):
            if arguments.board:
                board_footprint()
            else:
                host_footprint(arguments.short)
    except KeyboardInterrupt:
        print("\nbench: stopped", file=sys.stderr)
        return 130
    finally:
        for subject in RUNNING:
            subject.stop()
        for store in STORES:
            shutil.rmtree(store, ignore_errors=True)
    if arguments.write:
        # Renamed into place: an interrupt leaves the document as it was, and nothing beside it.
        new = arguments.write + ".new"
        try:
            with open(new, "w", encoding="utf-8") as document:
                document.write(with_tables(arguments.write, marker, tables.getvalue()))
            os.replace(new, arguments.write)
        finally:
            if os.path.exists(new):
                os.remove(new)
    return 0


if __name__ == "__main__":
    sys.exit(main())
