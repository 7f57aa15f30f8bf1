"""What an integrator installs: the tree, the service files and the packages."""

import filecmp
import glob
import gzip
import os
import re
import shlex
import subprocess
import tempfile
import unittest

from harness import emulated, handler_line, lintian, read_lines, write_tag
from simulator.device import (ROOT, TAG, TIMEOUT_FACTOR, count_lines, open_failure_line, read_values,
                              run)
from built_files import as_version, glibc_needs

BUILD_DIR = os.environ.get("BUILD_DIR", "")
READELF = "arm-linux-gnueabihf-readelf" if emulated() else "readelf"
ARCHITECTURE = "armhf" if emulated() else "amd64"
# cmake --install lays the tree out for the prefix the build was configured
# with (and GNUInstallDirs' library folder for it); a package, for /usr.
PREFIX = os.environ.get("INSTALL_PREFIX", "/usr").strip("/")
LIBDIR = os.environ.get("INSTALL_LIBDIR", "lib")
# The service's paths and fixed settings, as the build gave them to its files.
SERVICE = read_values(os.path.join(BUILD_DIR, "service.conf"))
UNIT = "lib/systemd/system/wdtag-poweroff.service"
INIT, SETTINGS, LOGROTATE = (SERVICE[name].lstrip("/") for name in (
    "WDTAG_INIT_SCRIPT", "WDTAG_DEFAULTS_FILE", "WDTAG_LOGROTATE_RULE"))
# Below the prefix:
LAUNCHER = "/libexec/wdtag-poweroff/start"
PROGRAM = "/sbin/wdtag_poweroff"
MANUAL = "/share/man/man8/wdtag_poweroff.8.gz"
COMPONENTS = {"wdtag-poweroff": "watchdog", "wdtag-poweroff-tagsim": "tagsim"}
# Runs each case of the init script's table as run NAME COMMANDS, in a
# private PID namespace: sh -c INIT_CASES SCRIPT SHELL PROGRAM FALLBACKS
# LIBEXEC FOLDER TAG OOM_SCORE. FALLBACKS are tools that are made no
# programs. A case has a folder of its own with a tag store, its settings
# and its log.
INIT_CASES = r"""
script=$0 shell=$1 program=$2 fallbacks=$3 cases=$5 tag=$6 oom_score=$7 libexec=/%s/libexec
launcher=$libexec/wdtag-poweroff/start
mount --bind "$4" "$libexec" || exit 1
mkdir -p "$cases" && : >"$cases/no-program"
for tool in $fallbacks; do mount --bind "$cases/no-program" "$(command -v "$tool")" || exit 1; done
init() { $shell "$script" "$@" >>"$said" 2>&1; echo "$?" >>"$folder/statuses"; }
watchdogs() {
    for exe in /proc/[0-9]*/exe; do [ "$(readlink "$exe")" != "$program" ] || echo "${exe%%/exe}"; done
}
appears() {
    tries=200
    until [ -n "$(watchdogs)" ] || [ "$tries" -eq 0 ]; do sleep 0.1; tries=$((tries - 1)); done
}
# daemon PREFIX: a DAEMON that runs the program after PREFIX.
daemon() {
    printf '#!/bin/sh\n%%s "%%s" "$@"\n' "$1" "$program" >"$folder/daemon"
    chmod +x "$folder/daemon"
    echo "DAEMON=$folder/daemon" >>"$settings"
}
session_of() { fields=$(cat "$1/stat" 2>/dev/null); set -- ${fields##*") "}; echo "$4"; }
# The processes of a case, by their first two words: its program, its
# wrapper and the launcher.
ours() {
    for cmdline in /proc/[0-9]*/cmdline; do
        tr '\0' '\n' <"$cmdline" 2>/dev/null | head -n 2 | grep -qxFe "$program" \
            -e "$folder/daemon" -e "$launcher" && echo "$cmdline"
    done
}
run() {
    folder=$cases/$(printf %%s "$1" | tr -c a-zA-Z -) settings=$cases/$1.settings said=$cases/$1.said
    mkdir -p "$folder" && echo 0 >"$folder/$tag"
    printf '%%s\n' "DAEMON=$program" "LOG=$folder/log" "PIDFILE=$folder/pid" \
        "TAGSIM_DIR=$folder" "WDTAG_TAG=$tag" WDTAG_TIME=100 >"$settings"
    export WDTAG_DEFAULTS=$settings
    eval "$2"
    appears
    set -- "$1" $(watchdogs)
    oom="OOM kept"
    grep -q "cannot keep the OOM killer" "$folder"/*log 2>/dev/null ||
        [ "$(cat "$2/oom_score_adj" 2>/dev/null)" = "$oom_score" ] || oom="OOM score $(cat "$2/oom_score_adj")"
    env=clean
    ! grep -qz CALLER_ONLY "$2/environ" 2>/dev/null || env="caller's environment"
    session="own session"
    [ "$(session_of "$2")" != "$(session_of /proc/$$)" ] || session="shared session"
    watchdogs=$(($# - 1))
    init stop
    echo "$1: $(echo $(cat "$folder/statuses")); $watchdogs watchdog; $env; $oom; $session;" \
        "$(ours | wc -l) left"
}
"""


def output(*command, **options):
    """What COMMAND, which must succeed, writes to its standard output."""
    return subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True, **options).stdout


def install(destdir, *options):
    output("cmake", "--install", BUILD_DIR, *options, env=dict(os.environ, DESTDIR=destdir))


def write(path, text, mode=0o644):
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)
    os.chmod(path, mode)
    return path


def files_below(root):
    return sorted(os.path.relpath(os.path.join(folder, name), root)
                  for folder, _, names in os.walk(root) for name in names)


def services(tree, prefix):
    """What the unit and the init script of TREE start, and the files below
    PREFIX that they name and TREE lacks. A file lies at least two folders
    down: /usr/bin in a PATH is a folder."""
    lines = read_lines(os.path.join(tree, UNIT)) + read_lines(os.path.join(tree, INIT))
    named = re.findall(r"/%s/[\w.-]+/[\w./-]+" % re.escape(prefix), "\n".join(lines))
    return ([line for line in lines if line.startswith(("ExecStart=", "DAEMON="))],
            sorted({path for path in named if not os.path.isfile(os.path.join(tree, path[1:]))}))


def right_services(prefix):
    return (["ExecStart=/%s%s /%s%s" % (prefix, LAUNCHER, prefix, PROGRAM),
             "DAEMON=/%s%s" % (prefix, PROGRAM)], [])


def make_packages(build, out, epoch=""):
    """cpack of BUILD into OUT, at the changelog's time unless EPOCH is given:
    each package's path by its name."""
    env = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
    output("cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out,
           env=dict(env, SOURCE_DATE_EPOCH=epoch) if epoch else env)
    return {os.path.basename(path).split("_")[0]: path for path in glob.glob(out + "/*.deb")}


def unpacked(package):
    """The files of PACKAGE, unpacked once beside it."""
    tree = package[:-len(".deb")]
    if not os.path.isdir(tree):
        output("dpkg-deb", "-x", package, tree)
    return tree


def build_elsewhere(folder, *options):
    output("cmake", "-S", ROOT, "-B", folder, "-DBUILD_TESTING=OFF", *options)
    output("cmake", "--build", folder)


class Installed(unittest.TestCase):
    """One DESTDIR install of the build, shared by the checks."""

    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory(prefix="wdtag-install-")
        cls.addClassCleanup(cls.workdir.cleanup)
        cls.destdir = os.path.join(cls.workdir.name, "root")
        install(cls.destdir)
        cls.program = os.path.join(cls.destdir, PREFIX + PROGRAM)

    def test_each_prefixs_program_finds_its_library_and_the_service_files_name_it(self):
        # The service files, in system locations, are the same files whatever
        # the prefix. A device build installs no stand-in, and has no RUNPATH
        # unless told.
        other = os.path.join(self.workdir.name, "opt-root")
        install(other, "--prefix", "/opt/wdtag")
        got, prefixes = [], (PREFIX, "opt/wdtag")
        for tree, prefix in zip((self.destdir, other), prefixes):
            dynamic = output(READELF, "-d", os.path.join(tree, prefix + PROGRAM)).splitlines()
            got.append(([line.split("[")[1].rstrip("]") for line in dynamic
                         if "RUNPATH" in line or "(RPATH)" in line], services(tree, prefix),
                        [path for path in files_below(tree) if not path.startswith(prefix + "/")]))
        self.assertEqual(got, [([] if emulated() else ["$ORIGIN/../" + LIBDIR],
                                right_services(prefix), got[0][2]) for prefix in prefixes])

    def test_systemd_sh_and_groff_take_the_unit_init_script_and_manual_naming_each_setting(self):
        # Only in a private mount namespace does the program stand where the unit says;
        # systemd finds the unit's manual page through MANPATH.
        checked = subprocess.run(
            ["unshare", "--mount", "sh", "-c",
             'if [ "$3" = usr ]; then mount --bind "$1/sbin" /usr/sbin && '
             'mount --bind "$1/libexec" /usr/libexec; else mount --bind "$1" "/$3"; fi && '
             'systemd-analyze verify "$2"', "sh",
             os.path.join(self.destdir, PREFIX), os.path.join(self.destdir, UNIT), PREFIX],
            env=dict(os.environ, MANPATH=os.path.join(self.destdir, PREFIX, "share/man")),
            capture_output=True, text=True, check=False)
        parsed = subprocess.run(["sh", "-n", os.path.join(self.destdir, INIT)],
                                capture_output=True, text=True, check=False)
        with gzip.open(os.path.join(self.destdir, PREFIX + MANUAL)) as page:
            rendered = subprocess.run(["groff", "-man", "-ww", "-Tutf8", "-P-cbou"],
                                      input=page.read(), capture_output=True, check=False)
        settings = read_lines(os.path.join(self.destdir, SETTINGS))
        names = [line.split("=")[0] for line in settings if re.match(r"[A-Z_]+=", line)]
        self.assertEqual([(checked.returncode, checked.stderr), (parsed.returncode, parsed.stderr),
                          (rendered.returncode, rendered.stderr.decode()),
                          [name for name in names if name not in rendered.stdout.decode()]],
                         [(0, ""), (0, ""), (0, ""), []])

    def settings(self, folder, name="settings", **values):
        """A settings file NAME that runs the installed program with its log,
        PID file and tag store in FOLDER."""
        os.makedirs(folder, exist_ok=True)
        write_tag(folder, TAG, "0")
        values = dict({"DAEMON": self.program, "LOG": os.path.join(folder, "log"),
                       "PIDFILE": os.path.join(folder, "pid"), "TAGSIM_DIR": folder}, **values)
        return write(os.path.join(folder, name),
                     "".join("%s=%s\n" % item for item in values.items()))

    @unittest.skipIf(emulated(), "the init script runs the program directly")
    def test_init_script_runs_the_watchdog_and_says_why_it_skips_or_fails_a_start(self):
        failing, running = (os.path.join(self.workdir.name, name) for name in ("fails", "runs"))
        unset = self.settings(failing)
        no_daemon = write(os.path.join(failing, "no-daemon"),
                          "DAEMON=/nonexistent\nWDTAG_TAG=%s\n" % TAG)
        no_pid_folder = self.settings(failing, "no-pid-folder", WDTAG_TAG=TAG,
                                      PIDFILE="/nonexistent%s/pid" % failing)
        # In a private PID namespace, the installed launcher where the init
        # script looks. Not configured: one line, status 0. No DAEMON: LSB's
        # "not installed", and "unknown" for status. A PID file that cannot be
        # written, or a tag that does not open: the reason, and no watchdog
        # left. A start: write 0 until the watchdog echoes it, then 1;
        # SIGTERM, ignored here and so by the watchdog, must not keep stop
        # from ending it.
        # Removed, not purged (no launcher): quiet, and not running.
        cycle = ('"$1" start; echo "status $?"; '
                 'WDTAG_DEFAULTS=$3 "$1" start; echo "status $?"; '
                 'WDTAG_DEFAULTS=$3 "$1" status; echo "status $?"; '
                 'WDTAG_DEFAULTS=$4 "$1" start; echo "status $?"; '
                 'echo WDTAG_TAG=MISSING >> "$2"; "$1" start; echo "status $?"; '
                 'sleep 1; ls -l /proc/[0-9]*/exe 2>/dev/null | grep -c wdtag_poweroff; '
                 'export WDTAG_DEFAULTS=$5; trap "" TERM; "$1" start; "$1" status; '
                 'echo "status $?"; until grep -q "^%s" "$6/log" 2>/dev/null; do '
                 'echo 0 > "$6/%s"; sleep 0.2; done; echo 1 > "$6/%s"; '
                 'until grep -qx "%s" "$6/log"; do sleep 0.2; done; '
                 '"$1" stop; "$1" status; echo "status $?"; umount /%s/libexec; '
                 '"$1" start; echo "status $?"; "$1" status; echo "status $?"'
                 % (handler_line(""), TAG, TAG, count_lines(1, 1)[0], PREFIX))
        cycled = run(
            ["sh", "-c", 'mount --bind "$1" /%s/libexec && shift && eval "$0"'
                       % PREFIX, cycle, os.path.join(self.destdir, PREFIX, "libexec"),
                       os.path.join(self.destdir, INIT), unset, no_daemon, no_pid_folder,
                       self.settings(running, WDTAG_TAG=TAG, WDTAG_TIME="100"), running],
            first=True, env=dict(os.environ, WDTAG_DEFAULTS=unset), capture_output=True,
            text=True, timeout=120 * TIMEOUT_FACTOR, check=False)
        self.assertEqual(([line.split(" (PID")[0] for line in cycled.stdout.splitlines()],
                          [line for line in cycled.stderr.splitlines()
                           if "OOM killer" not in line]),
                         (["wdtag-poweroff: not started: no tag to watch (set WDTAG_TAG in %s)"
                           % unset, "status 0", "status 5", "status 4", "status 1", "status 1", "0",
                           "wdtag-poweroff started", "wdtag-poweroff is running", "status 0",
                           "wdtag-poweroff stopped", "wdtag-poweroff is not running", "status 3",
                           "status 0", "status 3"],
                          ["wdtag-poweroff: DAEMON=/nonexistent, set in %s, is not a program"
                           % no_daemon] * 2 + [
                              "wdtag-poweroff: failed to start: cannot write its PID file "
                              "/nonexistent%s/pid" % failing,
                              "wdtag-poweroff: failed to start; it wrote to %s/log:" % failing,
                              open_failure_line("MISSING")]))

    @unittest.skipIf(emulated(), "the init script runs the program directly")
    def test_init_script_keeps_exactly_one_watchdog_under_dash_and_busybox_and_stop_ends_it(self):
        # Each case in a private PID namespace, under dash, under BusyBox sh
        # (setsid an applet of its own), and under dash where flock and
        # setsid are no programs (the BusyBox board has no flock): its init
        # calls' statuses and then stop's, the watchdogs before that stop, the
        # caller's variable in their environment, their OOM score, whether
        # they left the caller's session, and what stop leaves.
        time = 's/^WDTAG_TIME=.*/WDTAG_TIME=%s/'
        cases = {  # name: commands, the statuses of its init calls
            "unwritable log": ('init start; echo LOG=/nonexistent/x.log >>"$settings"; '
                               'init restart; grep -q "cannot write its log /nonexistent/x.log" '
                               '"$said" || echo "not told"', "0 1"),
            "slow launcher": ('daemon "sleep 2; exec"; init start; init start', "0 0"),
            "wrapper": ('daemon ""; init start; appears; rm "$folder/pid"; init status', "0 0"),
            "DAEMON changed": ('init start; daemon exec; init restart', "0 0"),
            "PID file removed": ('init start; rm "$folder/pid"; init start', "0 0"),
            "three starts": ("init start & init start & init start & wait", "0 0 0"),
            # Started as the previous version did, with a PID file of one line.
            "one-line PID file": ('(echo "$oom_score" 2>/dev/null >/proc/self/oom_score_adj || '
                                  'echo "cannot keep the OOM killer from it"; exec env -i '
                                  'PATH="$PATH" WDTAG_DEFAULTS="$settings" "$launcher" "$program") '
                                  '</dev/null >>"$folder/log" 2>&1 & echo $! >"$folder/pid"; '
                                  'appears; init start', "0"),
            "quote in the log's name": ("echo \"LOG=$folder/it's.log\" >>\"$settings\"; init start; "
                                        "[ -s \"$folder/it's.log\" ] || echo 'no log'", "0"),
            # A launcher that ends at once may end before it is recorded.
            "ten quick failures": ('sed -i "%s" "$settings"; for _ in 1 2 3 4 5 6 7 8 9 10; do '
                                   'init start; done; [ "$(grep -c "failed to start; it wrote to" '
                                   '"$said") $(grep -c "WDTAG_TIME must be" "$said")" = "10 10" ] '
                                   '|| echo "not told"; sed -i "%s" "$settings"; init start'
                                   % (time % "x", time % 100),
                                   " ".join(["1"] * 10 + ["0"])),
            "refused setting at restart": ('init start; sed -i "%s" "$settings"; init restart; '
                                           'sed -i "%s" "$settings"' % (time % "x", time % 100),
                                           "0 1"),
            "DAEMON misspelt while running": ('init start; echo "DAEMON=$folder/x" >>"$settings"; '
                                              'init status', "0 0"),
        }
        script = "".join('run %s %s\n' % (shlex.quote(name), shlex.quote(commands))
                         for name, (commands, _) in cases.items())
        rows = (("dash", ""), ("busybox sh", ""), ("dash", "flock setsid"))
        wanted = {row: ["%s: %s 0; 1 watchdog; clean; OOM kept; %s session; 0 left" % (
            name, statuses, "shared" if row[1] or name == "one-line PID file" else "own")
                        for name, (_, statuses) in cases.items()] for row in rows}
        got = {}
        for shell, fallbacks in rows:
            cases_folder = os.path.join(self.workdir.name, "cases", shell + fallbacks)
            ran = run(
                ["sh", "-c", INIT_CASES % PREFIX + script,
                           os.path.join(self.destdir, INIT), shell, self.program, fallbacks,
                           os.path.join(self.destdir, PREFIX, "libexec"),
                           cases_folder, TAG, SERVICE["WDTAG_OOM_SCORE_ADJ"]],
                first=True, env=dict(os.environ, CALLER_ONLY="1"), capture_output=True,
                text=True, timeout=300 * TIMEOUT_FACTOR, check=False)
            got[shell, fallbacks] = ran.stdout.splitlines() + ran.stderr.splitlines()
        self.maxDiff = None
        self.assertEqual(got, wanted)

    @unittest.skipIf(emulated(), "the init script runs the program directly")
    def test_init_script_under_systemd_without_init_functions_hands_over_when_installed(self):
        # In a mount namespace: systemd's runtime folder, no init-functions,
        # a systemctl that says what it was asked, the script where it is
        # installed. Elsewhere, or told to skip, it does the work itself:
        # with no launcher here, LSB's "not running".
        said = run(
            ["sh", "-c", r"""
                mount -t tmpfs none /run && mkdir -p /run/systemd/system &&
                mount -t tmpfs none /lib/lsb && mount -t tmpfs none "${2%/*}" &&
                printf '#!/bin/sh\necho "systemctl $*"\n' >/run/systemctl &&
                chmod +x /run/systemctl && mount --bind /run/systemctl /usr/bin/systemctl &&
                cp "$1" "$2" || exit 1
                "$2" restart; "$2" force-reload
                _SYSTEMCTL_SKIP_REDIRECT=1 "$2" status; echo "status $?"
                "$1" status; echo "status $?"
                """,
             "sh", os.path.join(self.destdir, INIT), "/" + INIT],
            first=True, capture_output=True, text=True, timeout=60 * TIMEOUT_FACTOR, check=False)
        self.assertEqual(said.stdout.splitlines(), ["systemctl restart wdtag-poweroff.service"] * 2
                         + ["status 3"] * 2, said.stderr)

    def test_logrotate_rule_leaves_the_watchdogs_next_line_in_the_log_it_names(self):
        # The init script's watchdog keeps its log open and appends to it.
        folder = tempfile.mkdtemp(dir=self.workdir.name)  # logrotate refuses a shared folder
        log = os.path.join(folder, "log")
        rule = "\n".join(read_lines(os.path.join(self.destdir, LOGROTATE)))
        config = write(os.path.join(folder, "rule"), rule.replace(SERVICE["WDTAG_LOG"], log))
        first, second = count_lines(1, 2)
        with open(log, "a", encoding="utf-8") as watchdog:
            print(first, file=watchdog, flush=True)
            output("logrotate", "-f", "-s", os.path.join(folder, "state"), config)
            print(second, file=watchdog, flush=True)
        self.assertEqual((read_lines(log), read_lines(log + ".1")), ([second], [first]))

    def launch(self, settings, program, **env):
        """The installed launcher on SETTINGS: its status, output and errors."""
        defaults = write(os.path.join(self.workdir.name, "launcher-defaults"), settings)
        os.utime(defaults, (100, 100))  # older than any state but a changed one's
        ran = subprocess.run([os.path.join(self.destdir, PREFIX + LAUNCHER), program],
                             env=dict(os.environ, WDTAG_DEFAULTS=defaults, **env), text=True,
                             capture_output=True, timeout=30 * TIMEOUT_FACTOR, check=False)
        return ran.returncode, ran.stdout.strip(), ran.stderr

    def test_launcher_reads_settings_literally_and_refuses_what_the_watchdog_cannot_use(self):
        program = write(os.path.join(self.workdir.name, "shows-what-it-got"),
                        '#!/bin/sh\necho "$*|${LD_LIBRARY_PATH-}|${VENDOR_HOST-}|$PWD|'
                        '${LD_PRELOAD-}|${PATH%%:*}"\n', 0o755)
        # Names that could change what runs or loads, or that are misspelt,
        # are ignored and told, line by line; the others still pass.
        ignored = ("PATH=/opt/vendor/bin:$PATH\nLD_PRELOAD=/x.so\nLD_LIBRARY_PATH=lib:\n"
                   "WDTAG_TIMEOUT=30\nTMPDIR=/x\n")
        rows = [  # settings; what the program got, or the start of the launcher's refusal
            ('WDTAG_TAG=$HOME\r\nWDTAG_TIME= 7 \nWDTAG_LIBRARY_PATH=/opt/my lib\n'
             '# a comment\nVENDOR_HOST="tags.local"\n',
             "$HOME 7|/opt/my lib|tags.local|/||" + os.environ["PATH"].split(":")[0]),
            ("WDTAG_TAG=R\nWDTAG_TIME=2147483647\n" + ignored,
             "R 2147483647|||/||" + os.environ["PATH"].split(":")[0]),
            ("WDTAG_TAG=R\nWDTAG_LIBRARY_PATH=/opt/$LIB\n", "WDTAG_LIBRARY_PATH must"),
            ("WDTAG_TAG=R\nWDTAG_LIBRARY_PATH=/opt/a;\n", "WDTAG_LIBRARY_PATH must"),
            ("WDTAG_TAG=R\nWDTAG_LIBRARY_PATH=/opt/a::/opt/b\n", "WDTAG_LIBRARY_PATH must"),
        ] + [("WDTAG_TAG=R\nWDTAG_TIME=%s\n" % time, "WDTAG_TIME must be a number")
             for time in ('"10 20"', "*", "0", "2147483648", "99999999999999999999")] + [
            ("WDTAG_TAG=\n", "no tag to watch"),
        ]
        got = []
        for settings, _ in rows:
            status, shown, said = self.launch(settings, program)
            configured = self.launch(settings, "--configured")[0]
            got.append((configured, status, shown or next(
                (want for _, want in rows if "wdtag-poweroff: " + want in said), said)))
        told = self.launch(rows[1][0], program)[2].splitlines()
        self.assertEqual(got, [(0, 0, want) for _, want in rows[:2]]
                         + [(0, 1, want) for _, want in rows[2:-1]] + [(1, 1, rows[-1][1])])
        self.assertEqual([line.split(": ", 2)[2] for line in told], [
            "line 3: ignoring PATH: it could change what the watchdog runs or loads",
            "line 4: ignoring LD_PRELOAD: library folders go in WDTAG_LIBRARY_PATH",
            "line 5: ignoring LD_LIBRARY_PATH: library folders go in WDTAG_LIBRARY_PATH",
            "line 6: ignoring WDTAG_TIMEOUT, which is no setting: a misspelling of WDTAG_TAG, "
            "WDTAG_TIME or WDTAG_LIBRARY_PATH?",
            "line 7: ignoring TMPDIR: it could change what the watchdog runs or loads"])

    def test_launcher_under_systemd_doubles_the_wait_after_each_quick_failure_to_ten_minutes(self):
        folder = os.path.join(self.workdir.name, "runtime")
        os.makedirs(folder)
        write(os.path.join(folder, "sleep"), '#!/bin/sh\necho "waited $1"\n', 0o755)  # no wait
        state = os.path.join(folder, "restarts")
        got = []
        # Failures so far and seconds since the last start on the boot's
        # clock; then, where given, the settings changed since (the state is
        # older than they) or systemd's result for the stop that came between.
        # A start "in the future", as a wall clock's time would be, and a
        # number too long for the shell count as none.
        for before in (None, (2, 10), (7, 10), (5, 120), (4, 10, "settings changed"),
                       (6, -2000000000), (10**20, 10), (2, 10, "exit-code"), (2, 10, "success")):
            if before:  # None comes first: no state yet
                with open("/proc/uptime", encoding="ascii") as uptime:
                    now = int(float(uptime.read().split()[0]))
                write(state, "%d %d\n" % (before[0], now - before[1]))
                os.utime(state, (0, 0) if before[2:] == ("settings changed",) else None)
            env = dict(RUNTIME_DIRECTORY=folder, PATH=folder + ":" + os.environ["PATH"])
            if before and before[2:] and before[2] != "settings changed":
                self.launch("WDTAG_TAG=%s\n" % TAG, "--stopped", SERVICE_RESULT=before[2], **env)
            status, waited, said = self.launch("WDTAG_TAG=%s\n" % TAG, "--delay", **env)
            got.append((status, waited, read_lines(state)[0].split()[0],  # after the launch
                        bool(re.search(r"starting again in \d+ s, at \d\d:\d\d:\d\d$", said)),
                        "Illegal" in said))
        self.assertEqual(got, [(0, "", "0", False, False), (0, "waited 20", "3", True, False),
                               (0, "waited 600", "8", True, False), (0, "", "0", False, False),
                               (0, "", "0", False, False), (0, "", "0", False, False),
                               (0, "", "0", False, False), (0, "waited 20", "3", True, False),
                               (0, "", "0", False, False)])


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory(prefix="wdtag-packages-")
        cls.addClassCleanup(cls.workdir.cleanup)
        cls.packages = make_packages(BUILD_DIR, cls.workdir.name)

    def test_each_package_is_the_targets_and_holds_its_component_installed_for_usr(self):
        # One for the watchdog, which depends on the C library version its
        # program needs; on the host one for the stand-in, with its library
        # where the loader looks.
        names = ["wdtag-poweroff"] + ([] if emulated() else ["wdtag-poweroff-tagsim"])
        got, installed = {}, {}
        for name, path in self.packages.items():
            tree = os.path.join(self.workdir.name, COMPONENTS[name])
            install(tree, "--component", COMPONENTS[name], "--prefix", "/usr")
            got[name] = (output("dpkg-deb", "-f", path, "Architecture").strip(),
                         files_below(unpacked(path)))
            installed[name] = (ARCHITECTURE, files_below(tree))
        watchdog = self.packages["wdtag-poweroff"]
        program = os.path.join(unpacked(watchdog), "usr" + PROGRAM)
        library = "usr/%s/%s" % (LIBDIR, os.path.basename(os.environ["TAGSIM_LIBRARY"]))
        self.assertEqual((sorted(got), got, output("dpkg-deb", "-f", watchdog, "Depends").strip(),
                          [name for name in names[1:] if library not in got.get(name, (0, []))[1]]),
                         (names, installed, "libc6 (>= %s), psmisc"
                          % max(glibc_needs(program), key=as_version), []))

    def test_another_prefix_gives_the_same_stripped_package_laid_out_for_usr(self):
        packages = {"preset": self.packages["wdtag-poweroff"]}
        if not emulated():  # the device build's sysroot and emulator would be needed again
            scratch = os.path.join(self.workdir.name, "build-opt-wdtag")
            build_elsewhere(scratch, "-DCMAKE_INSTALL_PREFIX=/opt/wdtag")
            packages["/opt/wdtag"] = make_packages(scratch, scratch + "/packages")["wdtag-poweroff"]
        files = files_below(unpacked(self.packages["wdtag-poweroff"]))
        for name, package in packages.items():
            tree = unpacked(package)
            sections = output(READELF, "-S", "-W", os.path.join(tree, "usr" + PROGRAM))
            # The files in /etc are the integrator's to edit: conffiles, all of them.
            self.assertEqual((files_below(tree), ".symtab" in sections, services(tree, "usr"),
                              sorted(output("dpkg-deb", "-I", package, "conffiles").split())),
                             (files, False, right_services("usr"),
                              ["/" + path for path in files if path.startswith("etc/")]), name)

    def test_lintian_reports_nothing_that_is_not_overridden(self):
        self.assertEqual(lintian(self.packages.values(), self.workdir.name), (0, ""))

    def test_another_folder_at_another_time_gives_the_same_bytes_unless_the_epoch_is_set(self):
        # The settings that the packages depend on: a preset's, or an
        # integrator's own toolchain file's.
        wanted = ("CMAKE_TOOLCHAIN_FILE", "CMAKE_BUILD_TYPE", "CMAKE_INSTALL_PREFIX",
                  "CMAKE_CXX_COMPILER", "WDTAG_SYSROOT", "WDTAG_LIBRARY_DIRS")
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt"), encoding="utf-8") as cache:
            same = ["-D" + line.rstrip("\n") for line in cache if line.split(":")[0] in wanted]
        scratch = os.path.join(self.workdir.name, "elsewhere", "another-build-folder")
        build_elsewhere(scratch, *same)
        made = {epoch: make_packages(scratch, os.path.join(scratch, "packages" + epoch), epoch)
                for epoch in ("", "86400")}
        listing = output("dpkg-deb", "-c", made["86400"]["wdtag-poweroff"])
        self.assertEqual(([name for name, path in self.packages.items()
                           if not filecmp.cmp(path, made[""][name], shallow=False)],
                          {line.split()[3] for line in listing.splitlines()}),
                         ([], {"1970-01-02"}))
