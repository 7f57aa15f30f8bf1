# Shared by the board builders: Debian's armhf kernel and BusyBox, and the
# modules a board's first program loads to reach its ext4 disk on virtio.
# Sourced, not run; needs ../lib.sh and ../debian_archive.sh.

board_debs=$project_root/build/board/debs
board_suite=bookworm
# In load order; none of them is built into Debian's armmp kernel.
disk_modules=(virtio_mmio virtio_blk crc16 crc32c_generic mbcache jbd2 ext4)

# Fetches the kernel that linux-image-armmp stands for now, and the given
# packages; sets board_kernel to the kernel's package name.
fetch_board_debs() {
    board_kernel=$(resolve_metapackage "$board_suite" armhf linux-image-armmp linux-image-)
    if [ -z "$board_kernel" ]; then
        echo "$(basename "$0"): cannot resolve linux-image-armmp" >&2
        return 1
    fi
    fetch_debs "$board_suite" armhf "$board_debs" "$board_kernel" "$@"
}

# add_kernel ROOT OUT: the disk modules into ROOT, the kernel image to OUT/vmlinuz.
add_kernel() {
    local root=$1 out=$2 kernel module found release
    kernel=$(mktemp -d "${TMPDIR:-/tmp}/wdtag-kernel.XXXXXX")
    dpkg-deb -x "$board_debs/${board_kernel}_"*.deb "$kernel"
    release=$(basename "$kernel/lib/modules/"*)
    for module in "${disk_modules[@]}"; do
        found=$(find "$kernel/lib/modules/$release" -name "$module.ko")
        install -D -m 0644 "$found" "$root/lib/modules/$release/${found#*/$release/}"
    done
    cp "$kernel/boot/vmlinuz-$release" "$out/vmlinuz"
    rm -rf "$kernel"
}

# The newest armhf package in a build tree's packages folder.
armhf_package() {
    local package
    package=$(ls "$1"/packages/wdtag-poweroff_*_armhf.deb 2>/dev/null | tail -n 1)
    if [ -z "$package" ]; then
        echo "$(basename "$0"): no armhf package in $1/packages" >&2
        return 1
    fi
    echo "$package"
}

# pack_initrd ROOT FILE: ROOT as a gzip'd newc cpio archive, owned by root.
pack_initrd() {
    (cd "$1" && find . | sort | cpio --quiet -o -H newc -R 0:0) | gzip -9 >"$2"
}

# new_disk FILE SIZE [ROOT]: an ext4 image, with ROOT's files when given.
new_disk() {
    rm -f "$1"
    truncate -s "$2" "$1"
    mkfs.ext4 -q -F -L flash ${3:+-d "$3"} "$1"
}
