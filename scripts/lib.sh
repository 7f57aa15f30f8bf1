# Shared by the project's scripts: installing what is missing and building.
# Sourced, not run.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the named Debian packages that are not installed yet, when run as
# root with apt-get; otherwise names them and fails.
install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        echo "$(basename "$0"): please install: ${missing[*]}" >&2
        return 1
    fi
    echo "$(basename "$0"): installing ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

host_packages=(cmake make g++ python3 util-linux psmisc)

# True when the host build's program is newer than every source it is built from.
host_build_is_current() {
    local program=$project_root/build/host/src/wdtag_poweroff
    [ -x "$program" ] && [ -z "$(cd "$project_root" && find src tagsim include cmake \
        CMakeLists.txt CMakePresets.json -newer "$program" -print -quit)" ]
}

# Configures and builds the host preset.
build_host() {
    export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
    (cd "$project_root" && cmake --preset host >/dev/null && cmake --build --preset host)
}

# The options that make a private PID namespace (with its own /proc) here:
# as root directly, otherwise inside a user namespace of our own.
namespace_options() {
    local options=(--pid --fork --mount-proc --kill-child)
    [ "$(id -u)" -eq 0 ] || options=(--user --map-root-user "${options[@]}")
    printf '%s\n' "${options[@]}"
}

# Fails, saying why, when no private PID namespace can be made: without one
# the watchdog would restart this machine.
require_namespace() {
    local options error
    mapfile -t options < <(namespace_options)
    if ! error=$(unshare "${options[@]}" -- true 2>&1); then
        echo "$(basename "$0"): cannot make a private PID namespace: ${error:-unshare failed}" >&2
        echo "$(basename "$0"): refusing to run the watchdog, which would restart this machine" >&2
        return 1
    fi
}

device_packages=(g++-arm-linux-gnueabihf qemu-user binutils-arm-linux-gnueabihf)

# Emulated Arm boards: the emulator, what builds their images (mmdebstrap
# runs the Debian root's armhf programs through qemu-user and binfmt_misc)
# and reads their disks and journals, and the keys that check Debian's
# packages fetched for them.
board_packages=(qemu-system-arm e2fsprogs cpio gzip debian-archive-keyring mmdebstrap
    qemu-user-static binfmt-support arch-test systemd)

# The test cases that the last ctest run in a build tree ran, from its log.
count_test_cases() {
    local log=$1/Testing/Temporary/LastTest.log ran skipped
    ran=$(grep -Eo '^Ran [0-9]+ tests?' "$log" | awk '{n += $2} END {print n + 0}')
    skipped=$(grep -Eo 'skipped=[0-9]+' "$log" | awk -F= '{n += $2} END {print n + 0}')
    echo "$ran test cases run ($skipped skipped) in $(grep -c '^[0-9]*/[0-9]* Testing:' "$log") suites"
}
