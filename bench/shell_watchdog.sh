#!/bin/sh
# What an integrator would write instead of the watchdog: read the tag file
# once a second and count. Kept for comparison only: this copy stops and
# restarts nothing, where the real one would run killall and "reboot -f".
#   shell_watchdog.sh TAG_FILE [WDT_TIME]
tag=$1
wdt_time=${2:-10}
count=0
while :; do
    if [ "$(cat "$tag" 2>/dev/null)" = 1 ]; then
        count=$((count + 1))
        echo "current count = $count"
    else
        count=0
    fi
    if [ "$count" -eq "$wdt_time" ]; then
        echo "Watchdog timeout, reboot system!"
        exit 0
    fi
    sleep 1
done
