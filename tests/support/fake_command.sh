#!/bin/sh
# Stand-in for a Bluetooth tool this machine lacks (installed as hciconfig
# and hciattach). Each call appends "<uptime> <arguments>" to its log, prints
# the text the test left in `output` and exits with the status in
# `exit_status`. With a `daemon` file it first leaves a background copy of
# itself running, as the real attach tool does once the line is attached;
# that copy keeps the tool's name, so `pgrep` finds it and `kill` ends it.
# It also ends by itself once the test executable (`owner`) is gone.
name=${0##*/}
ctl=${0%/*}/../fakes/$name
read up idle < /proc/uptime
echo "$up $*" >> "$ctl/log"
[ -f "$ctl/output" ] && cat "$ctl/output"
status=0
[ -f "$ctl/exit_status" ] && read status < "$ctl/exit_status"
if [ -f "$ctl/daemon" ]; then
    owner=
    [ -f "$ctl/owner" ] && read owner < "$ctl/owner"
    (
        while kill -0 "$owner" 2>/dev/null; do
            sleep 1
        done
    ) </dev/null >/dev/null 2>&1 &
    echo "$!" >> "$ctl/daemons"
fi
exit "$status"
