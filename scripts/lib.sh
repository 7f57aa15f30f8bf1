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

# contained COMMAND...: runs COMMAND as the first process of a private PID
# namespace of its own, where a restart or a killall reaches nothing here.
contained() {
    local options
    mapfile -t options < <(namespace_options)
    unshare "${options[@]}" -- "$@"
}

# Fails, saying why, when no private PID namespace can be made, the first
# process of which is PID 1: without one the watchdog would restart this
# machine.
require_namespace() {
    local error first='[ "$$" -eq 1 ] || { echo "the options in project.conf make none"; exit 1; }'
    if ! error=$(contained sh -c "$first" 2>&1); then
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
    local mirror=${DEBIAN_MIRROR:-}
    [ -n "$mirror" ] || mirror=$(awk '/^URIs:/ && $2 ~ /\/debian\/?$/ {print $2; exit}' \
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
# apt-get update only warns when a list cannot be fetched: --error-on=any
# keeps a failed update from counting as a fresh one.
private_apt_update() {
    local stamp
    stamp=$(cache_dir)/apt/$1-$2/lists/updated
    if [ -z "$(find "$stamp" -mmin -1440 2>/dev/null)" ]; then
        private_apt "$1" "$2" apt-get update --error-on=any >&2 ||
            private_apt "$1" "$2" apt-get update --error-on=any >&2 || return 1
        touch "$stamp"
    fi
}

# deb_is_whole FILE NAME SUITE ARCH [SHA256]: whether FILE, a cache entry
# named NAME (package_version_arch.deb), is whole: a pinned package has its
# pin's SHA-256; any other the size and SHA-256 that the private index gives
# for its version; one the index no longer lists (an offline copy) must at
# least read through to its end.
deb_is_whole() {
    local file=$1 name=$2 suite=$3 arch=$4 pin=${5:-} package version listed
    if [ -n "$pin" ]; then
        [ "$(sha256sum <"$file" | cut -d' ' -f1)" = "$pin" ]
        return
    fi
    package=${name%%_*} version=${name#*_}
    version=${version%_*}
    listed=$(private_apt "$suite" "$arch" apt-cache show --no-all-versions \
        "$package=${version//%3a/:}" 2>/dev/null |
        awk '$1 == "Size:" {size = $2} $1 == "SHA256:" {print size, $2; exit}') || listed=""
    if [ -n "$listed" ]; then
        [ "$(stat -c %s "$file") $(sha256sum <"$file" | cut -d' ' -f1)" = "$listed" ]
        return
    fi
    dpkg-deb --info "$file" >/dev/null 2>&1 && dpkg-deb --contents "$file" >/dev/null 2>&1
}

# store_deb FILE FOLDER SUITE ARCH [SHA256]: moves the downloaded or copied
# FILE into the cache FOLDER, where it appears under its own name only once
# it is whole; prints the entry.
store_deb() {
    local file=$1 name entry against="the size and SHA-256 of Debian's index"
    name=$(basename "$file") entry=$2/$(basename "$file")
    [ -z "${5:-}" ] || against="its pinned SHA-256"
    if ! deb_is_whole "$file" "$name" "$3" "$4" "${5:-}"; then
        echo "$(basename "$0"): $name does not have $against" >&2
        rm -f "$file"
        return 1
    fi
    mv -f "$file" "$entry"
    echo "$entry"
}

# fetch_deb SUITE ARCH PACKAGE[=VERSION] [SHA256 [FOLDER]]: prints the path
# of the package's .deb in the cache, taken from FOLDER when it holds the
# pinned file, else downloaded (a failed download is tried again). Needs the
# cache's lock. Every entry is made under a temporary name and checked on
# each use: an interrupt, a full disk or damage on disk costs one download.
fetch_deb() {
    local suite=$1 arch=$2 package=${3%%=*} version="" pin=${4:-} offline=${5:-}
    local folder found partial
    [[ $3 != *=* ]] || version=${3#*=}
    folder=$(cache_dir)/debs/$suite-$arch
    mkdir -p "$folder"
    # Left by a fetch that was interrupted: under the lock, nobody else's.
    rm -rf "$folder"/.partial.*
    found=$(compgen -G "$folder/${package}_${version}*.deb" | tail -n 1) || true
    if [ -n "$found" ] && ! deb_is_whole "$found" "$(basename "$found")" "$suite" "$arch" "$pin"; then
        echo "$(basename "$0"): $(basename "$found") in the cache is damaged; replacing it" >&2
        rm -f "$found"
        found=""
    fi
    [ -z "$found" ] || { echo "$found"; return 0; }
    partial=$(mktemp -d "$folder/.partial.XXXXXX")
    if [ -n "$offline" ] && [ -f "$offline/${package}_${version}_$arch.deb" ]; then
        cp "$offline/${package}_${version}_$arch.deb" "$partial/"
    else
        private_apt_update "$suite" "$arch" &&
            (cd "$partial" && { private_apt "$suite" "$arch" apt-get download "$3" >&2 ||
                private_apt "$suite" "$arch" apt-get download "$3" >&2; }) || {
            rm -rf "$partial"
            return 1
        }
    fi
    found=$(compgen -G "$partial/*.deb" | head -n 1) || true
    [ -n "$found" ] && found=$(store_deb "$found" "$folder" "$suite" "$arch" "$pin") || found=""
    rm -rf "$partial"
    [ -n "$found" ] && echo "$found"
}

# debian_root SUITE ARCH PACKAGE...: prints the path of a minimal Debian
# root for ARCH with the packages added, as a tar made by mmdebstrap once in
# the cache and renamed into place only once it reads through. Needs the
# cache's lock.
debian_root() {
    local suite=$1 arch=$2 tar
    shift 2
    tar=$(cache_dir)/debian-root-$suite-$arch-$(echo "$*" | sha256sum | cut -c1-12).tar
    if [ -f "$tar" ] && ! tar -tf "$tar" >/dev/null 2>&1; then
        echo "$(basename "$0"): $(basename "$tar") in the cache is damaged; making it again" >&2
        rm -f "$tar"
    fi
    if [ ! -f "$tar" ]; then
        rm -f "$tar.part"
        echo "$(basename "$0"): making a Debian $suite $arch root with mmdebstrap (a few minutes)" >&2
        mmdebstrap --quiet --format=tar --arch="$arch" --variant=minbase \
            --include="$(IFS=,; echo "$*")" --aptopt='APT::Sandbox::User "root"' \
            --aptopt='Acquire::Retries "1"' "$suite" "$tar.part" \
            "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $suite main" >&2
        tar -tf "$tar.part" >/dev/null
        mv "$tar.part" "$tar"
    fi
    echo "$tar"
}

# The package that a metapackage stands for now, such as the kernel of
# linux-image-armmp: its first dependency that begins with the given prefix.
resolve_metapackage() {
    local suite=$1 arch=$2 metapackage=$3 prefix=$4
    private_apt_update "$suite" "$arch" || return 1
    private_apt "$suite" "$arch" apt-cache depends "$metapackage" |
        awk -v prefix="$prefix" '$1 == "Depends:" && index($2, prefix) == 1 {print $2; exit}'
}
