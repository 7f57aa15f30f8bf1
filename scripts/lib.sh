# The project's one shell library: shared values, installing what is missing,
# the private PID namespace, the cache, and Debian packages fetched through
# an apt configuration of the project's own. Sourced, not run; every function
# takes what it needs as arguments and prints what it finds.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# value NAME: a value of scripts/project.conf.
value() {
    sed -n "s/^$1=//p" "$project_root/scripts/project.conf"
}

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
device_packages=(g++-arm-linux-gnueabihf qemu-user binutils-arm-linux-gnueabihf)
# The boards: the emulators (qemu-system-arm has aarch64's too), what builds
# their images (mmdebstrap runs the Debian root's armhf programs through
# qemu-user and binfmt_misc) and reads their disks and journals, and the keys
# that check Debian's packages fetched for them.
board_packages=(qemu-system-arm e2fsprogs cpio gzip debian-archive-keyring mmdebstrap
    qemu-user-static binfmt-support arch-test systemd)

# The unshare options that make a private PID namespace here: as root
# directly, otherwise inside a user namespace of our own.
namespace_options() {
    [ "$(id -u)" -eq 0 ] || printf '%s\n' --user --map-root-user
    printf '%s\n' $(value namespace)
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

# The folder for what is fetched or made once and shared by every build tree
# (the sysroot, the private apt state, Debian roots): WDTAG_CACHE, which the
# build sets from its WDTAG_CACHE_DIR. Never the source tree.
cache_dir() {
    mkdir -p "${WDTAG_CACHE:?the build sets it from WDTAG_CACHE_DIR}"
    echo "$WDTAG_CACHE"
}

# Holds the cache's lock on descriptor 9 until the calling script ends:
# build trees configured side by side share the cache.
lock_cache() {
    exec 9>"$(cache_dir)/lock"
    flock 9
}

# The Debian mirror this machine's apt uses, unless DEBIAN_MIRROR names one.
debian_mirror() {
    if [ -n "${DEBIAN_MIRROR:-}" ]; then
        echo "$DEBIAN_MIRROR"
        return
    fi
    local mirror
    mirror=$(awk '/^URIs:/ && $2 ~ /\/debian\/?$/ {print $2; exit}' \
        /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $0 ~ /\/debian\/? / {
        for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' \
        /etc/apt/sources.list 2>/dev/null || true)
    if [ -z "$mirror" ]; then
        echo "$(basename "$0"): no Debian mirror in this machine's apt sources; set DEBIAN_MIRROR" >&2
        return 1
    fi
    echo "$mirror"
}

# private_apt SUITE ARCH COMMAND [ARGS...]: COMMAND is apt-get or apt-cache,
# run against SUITE for ARCH alone, with its own sources list, lists and
# cache. This machine's apt sources and architectures stay as they are.
private_apt() {
    local suite=$1 arch=$2 command=$3 dir mirror
    shift 3
    dir=$(cache_dir)/apt/$suite-$arch
    mirror=$(debian_mirror) || return 1
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/preferences.d"
    [ -f "$dir/status" ] || : >"$dir/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        >"$dir/sources.list"
    "$command" -q -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::PreferencesParts="$dir/preferences.d" -o Dir::State::Lists="$dir/lists" \
        -o Dir::State::status="$dir/status" -o Dir::Cache="$dir/cache" \
        -o APT::Architecture="$arch" -o APT::Architectures="$arch" -o APT::Sandbox::User=root "$@"
}

# Refreshes the private lists once a day: a fresh machine fetches them once.
private_apt_update() {
    local stamp
    stamp=$(cache_dir)/apt/$1-$2/lists/updated
    if [ -z "$(find "$stamp" -mmin -1440 2>/dev/null)" ]; then
        private_apt "$1" "$2" apt-get update >&2 || private_apt "$1" "$2" apt-get update >&2
        touch "$stamp"
    fi
}

# fetch_deb SUITE ARCH PACKAGE[=VERSION]: prints the path of the package's
# .deb in the cache, downloaded once (a failed download is tried again).
fetch_deb() {
    local suite=$1 arch=$2 package=${3%%=*} version="" folder found
    [[ $3 != *=* ]] || version=${3#*=}
    folder=$(cache_dir)/debs/$suite-$arch
    mkdir -p "$folder"
    found=$(compgen -G "$folder/${package}_${version}*.deb" | tail -n 1) || true
    if [ -z "$found" ]; then
        private_apt_update "$suite" "$arch" || return 1
        (cd "$folder" && { private_apt "$suite" "$arch" apt-get download "$3" >&2 ||
            private_apt "$suite" "$arch" apt-get download "$3" >&2; }) || return 1
        found=$(compgen -G "$folder/${package}_${version}*.deb" | tail -n 1)
    fi
    echo "$found"
}

# The package that a metapackage stands for now, such as the kernel of
# linux-image-armmp: its first dependency that begins with the given prefix.
resolve_metapackage() {
    local suite=$1 arch=$2 metapackage=$3 prefix=$4
    private_apt_update "$suite" "$arch" || return 1
    private_apt "$suite" "$arch" apt-cache depends "$metapackage" |
        awk -v prefix="$prefix" '$1 == "Depends:" && index($2, prefix) == 1 {print $2; exit}'
}
