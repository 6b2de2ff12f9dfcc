#!/usr/bin/env bash
# Broker absent: scanning is set up but nothing is read or stored. Broker
# started later: the gateway connects by itself and uploads each row once.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

expect "scanning was set up while the broker was absent" \
  grep -q '^scan_enable .* enable=1 filter_duplicates=0 status=0x00' "$results/controller.log"
samples=$(grep -c 'rows=' "$results/absent_rows.txt" 2>/dev/null)
expect "the table stayed empty while the broker was absent ($samples samples)" \
  bash -c "[ '${samples:-0}' -ge 10 ] && ! grep -v 'rows=0$' '$results/absent_rows.txt'"
expect "no report was read while the broker was absent" \
  grep -q '"DC":{"in": 0, "out": 0' "$results/absent_stats.txt"
rows=$(batch_rows raw_beacons_data)
count=$(echo "$rows" | sed '/^$/d' | wc -l)
# Row: address, RSSI, length, data ending in 07FFFFFF and the report's
# number, receive time: the number is the 8 digits before the time.
numbers=$(echo "$rows" | sed '/^$/d' | sed 's/.*07FFFFFF\(........\)........$/\1/')
expect "uploads began once the broker was up ($count rows)" test "$count" -ge 20
expect "every row is the steady beacon's" \
  bash -c "! echo '$rows' | sed '/^\$/d' | grep -v '^C00000000010C4'"
expect "no report was uploaded twice" test -z "$(echo "$numbers" | sort | uniq -d)"
expect "the link-up signal reached status_led" grep -q ' SIGUSR2$' "$results/status.log"
expect "mqtt_status was 1 while connected" grep -q "option mqtt_status '1'" "$results/tobixlite_config.connected"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
finish
