#!/usr/bin/env bash
# The uploaded rows are exactly those the filters let through, the scan
# parameters the controller saw are the configured ones, and a SIGTERM ends
# the gateway cleanly.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

expect "the gateway started" gateway_has "Tobix Voru Service Started at"
# 60 ms and 30 ms in units of 0.625 ms, passive, public address, accept
# all; with the legacy or (bt5_strict_filters) the extended command set.
expect "scan parameters 0x0060/0x0030 passive reached the controller" \
  grep -Eq '^(ext_)?scan_parameters .* type=0 interval=0x0060 window=0x0030 own_address_type=0 filter_policy=0 status=0x00' "$results/controller.log"
expect "scanning enabled without duplicate filtering" \
  grep -Eq '^(ext_)?scan_enable .* enable=1 filter_duplicates=0 .*status=0x00' "$results/controller.log"
expect "a birth packet from the gateway" \
  bash -c "grep -q '\"Tag\":\"BirthPacket\".*\"SourceID\":\"TBX000000000001\".*\"IP\":\"198.51.100.7\"' '$results/messages.txt'"

# Raw rows: the payload text without its receive time, which must be a
# time of this run (within two minutes of the batch that carried it).
raw_rows=$(batch_rows raw_beacons_data)
expect "raw rows: exactly the seven the filters pass" \
  diff <(echo "$raw_rows" | sed '/^$/d; s/........$//' | sort) <(sort "$here/expected_raw.txt")
stale=0
while read -r received topic payload; do
  for row in $(echo "$payload" | sed -n 's/.*"raw_beacons_data":"\([^"]*\)".*/\1/p' | tr ';' ' '); do
    time=$((16#${row: -8}))
    (( time < ${received%.*} - 120 || time > ${received%.*} + 5 )) && stale=$((stale + 1))
  done
done < <(grep ' /Tobix/Beacons ' "$results/messages.txt" 2>/dev/null)
expect "every raw row carries a receive time of this run" test "$stale" = 0

# Smoothed rows: one per address that passes the MAC and RSSI filters, with
# window 1E, the RSSI of its reports and their count; the flush time blanked.
expect "smoothed rows: one per passing address with its count" \
  diff <(batch_rows filtered_beacons_data | awk 'length($0) == 32 { print substr($0, 1, 18) " " substr($0, 27) } length($0) != 32 { print "bad " $0 }' | sort) \
       <(sort "$here/expected_smoothed.txt")
counted=$(messages /Tobix/Beacons | sed -n 's/.*"packet_count":\([0-9]*\).*/\1/p' | awk '{ s += $1 } END { print s + 0 }')
filtered=$(messages /Tobix/Beacons | sed -n 's/.*"filtered_packet_count": \([0-9]*\).*/\1/p' | awk '{ s += $1 } END { print s + 0 }')
expect "packet counts match the rows sent (${counted:-0} raw, ${filtered:-0} smoothed)" \
  test "${counted:-0}/${filtered:-0}" = "7/8"
expect "the link-up signal reached status_led" grep -q ' SIGUSR2$' "$results/status.log"
expect "the teardown signalled status_led last" bash -c "tail -1 '$results/status.log' | grep -q ' SIGUSR1$'"
expect "no failure signal to the parent" bash -c "! grep -q . '$results/parent.log'"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
if [ "$(wc -l < "$results/wakeups.txt" 2>/dev/null)" = 2 ]; then
  awk 'NR == 1 { t = $1; c = $2 } NR == 2 {
         printf "  idle gateway: %d context switches in %.1f s (%.1f wakeups/s, all threads)\n", $2 - c, ($1 - t) / 1000, ($2 - c) * 1000 / ($1 - t) }' \
    "$results/wakeups.txt"
fi
finish
