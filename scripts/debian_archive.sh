# Fetches Debian packages of another architecture or release through an apt
# configuration of the project's own: its own sources list, lists and cache
# under build/apt. This machine's apt sources and architectures stay as they
# are. Sourced, not run; needs lib.sh.

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
# run against SUITE for ARCH alone.
private_apt() {
    local suite=$1 arch=$2 command=$3
    shift 3
    local dir=$project_root/build/apt/$suite-$arch
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/preferences.d"
    [ -f "$dir/status" ] || : >"$dir/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "$(debian_mirror) $suite main" >"$dir/sources.list"
    "$command" -q -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::PreferencesParts="$dir/preferences.d" -o Dir::State::Lists="$dir/lists" \
        -o Dir::State::status="$dir/status" -o Dir::Cache="$dir/cache" \
        -o APT::Architecture="$arch" -o APT::Architectures="$arch" -o APT::Sandbox::User=root "$@"
}

# Refreshes the private lists once a day: a fresh machine fetches them once.
private_apt_update() {
    local stamp=$project_root/build/apt/$1-$2/lists/updated
    if [ -z "$(find "$stamp" -mmin -1440 2>/dev/null)" ]; then
        private_apt "$1" "$2" apt-get update >&2 || private_apt "$1" "$2" apt-get update >&2
        touch "$stamp"
    fi
}

# fetch_debs SUITE ARCH FOLDER PACKAGE...: the packages' .debs in FOLDER,
# downloaded once; a failed download is tried once more.
fetch_debs() {
    local suite=$1 arch=$2 folder=$3 package
    shift 3
    mkdir -p "$folder"
    private_apt_update "$suite" "$arch"
    for package in "$@"; do
        compgen -G "$folder/${package}_*.deb" >/dev/null && continue
        (cd "$folder" && { private_apt "$suite" "$arch" apt-get download "$package" >&2 ||
            private_apt "$suite" "$arch" apt-get download "$package" >&2; })
    done
}

# The package that a metapackage stands for now, such as the kernel of
# linux-image-armmp: its first dependency that begins with the given prefix.
resolve_metapackage() {
    local suite=$1 arch=$2 metapackage=$3 prefix=$4
    private_apt_update "$suite" "$arch"
    private_apt "$suite" "$arch" apt-cache depends "$metapackage" |
        awk -v prefix="$prefix" '$1 == "Depends:" && index($2, prefix) == 1 {print $2; exit}'
}
