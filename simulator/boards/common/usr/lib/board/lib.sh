# The boards' shared helpers, for BusyBox's sh and Debian's alike. Sourced by
# the BusyBox rc script, the Debian initramfs and the scenario. Every setting
# comes from the kernel command line, put there by the board driver:
#   board.scenario  what the scenario script does
#   board.tag       the watchdog's tag, possibly empty
#   board.wdt_time  the watchdog time
#   board.library   the folder the stand-in tag library is moved to
#   board.library_path  the watchdog's WDTAG_LIBRARY_PATH, possibly empty
#   board.dropin    a file of the image to install as a drop-in for the unit
board_dir=/usr/lib/board

# value NAME: a value of the project's shared values, or of the
# service's (the build's service.conf, added to the image's copy).
value() {
    sed -n "s/^$1=//p" "$board_dir/project.conf"
}
# The service's own search path.
PATH=$(value WDTAG_PATH)
export PATH

# Sets scenario, tag, wdt_time, library, library_path and dropin.
read_settings() {
    scenario="" tag="" wdt_time="" library="" library_path="" dropin=""
    for word in $(cat /proc/cmdline); do
        case $word in
        board.scenario=*) scenario=${word#*=} ;;
        board.tag=*) tag=${word#*=} ;;
        board.wdt_time=*) wdt_time=${word#*=} ;;
        board.library=*) library=${word#*=} ;;
        board.library_path=*) library_path=${word#*=} ;;
        board.dropin=*) dropin=${word#*=} ;;
        esac
    done
}

# Loads the modules that reach the ext4 disk on virtio, and waits for the disk.
load_disk_modules() {
    for module in $(value disk_modules); do
        found=$(find "/lib/modules/$(uname -r)" -name "$module.ko")
        [ -z "$found" ] || insmod "$found"
    done
    tries=100
    while [ ! -b /dev/vda ] && [ "$tries" -gt 0 ]; do
        sleep 0.1
        tries=$((tries - 1))
    done
}

# apply_settings ROOT: the settings into the system below ROOT, before the
# watchdog starts.
apply_settings() {
    read_settings
    sed -i "s|^WDTAG_TAG=.*|WDTAG_TAG=$tag|; s|^WDTAG_TIME=.*|WDTAG_TIME=$wdt_time|
        s|^WDTAG_LIBRARY_PATH=.*|WDTAG_LIBRARY_PATH=$library_path|" \
        "$1$(value WDTAG_DEFAULTS_FILE)"
    if [ "$library" != /usr/lib ]; then
        mkdir -p "$1$library"
        mv "$1/usr/lib/$(value tag_library)" "$1$library/"
    fi
    if [ -n "$dropin" ]; then
        mkdir -p "$1/etc/systemd/system/wdtag-poweroff.service.d"
        cp "$1$dropin" "$1/etc/systemd/system/wdtag-poweroff.service.d/"
    fi
}
