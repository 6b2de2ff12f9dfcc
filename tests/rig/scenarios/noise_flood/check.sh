#!/usr/bin/env bash
# Every numbered report between the noise events reaches the broker once,
# the statistics count the reports alone, and the kernel took the noise
# without a word.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

sent=$(sed -n 's/^advertiser .*name=flood sent=\([0-9]*\).*/\1/p' "$results/controller.log")
noise=$(sed -n 's/^advertiser .*name=noise sent=\([0-9]*\).*/\1/p' "$results/controller.log")
numbers=$(batch_rows raw_beacons_data | sed -n 's/.*07FFFFFF\(........\)........$/\1/p')
uploaded=$(echo "$numbers" | sed '/^$/d' | wc -l)
distinct=$(echo "$numbers" | sed '/^$/d' | sort -u | wc -l)
expect "the controller sent the whole burst (${sent:-?})" test "${sent:-0}" = 2000
expect "and 4,000 noise events between its reports (${noise:-?})" test "${noise:-0}" = 4000
expect "the gateway scanned with the legacy set" \
  grep -q '^scan_enable .* enable=1 filter_duplicates=0 status=0x00' "$results/controller.log"
expect "every report reached the broker ($uploaded rows)" test "$uploaded" = "${sent:-x}"
expect "none twice ($distinct distinct)" test "$distinct" = "$uploaded"
expect "no row came from a noise event" test "$(batch_rows raw_beacons_data | grep -c '^E00000')" = 0
stat() { sed -n "s/.*\"$1\":{[^}]*\"$2\": \([0-9]*\).*/\1/p" "$results/stats.txt"; }
expect "statistics: DC in and out $(stat DC in)/$(stat DC out)" \
  test "$(stat DC in)/$(stat DC out)/$(stat L0 out)" = "$sent/$sent/$sent"
scan=$(sed -n 's/.*"SCAN":{\([^}]*\)}.*/\1/p' "$results/stats.txt")
expect "statistics: the noise read past and counted ($scan)" \
  test "$scan" = "\"mode\": \"legacy\", \"other_subevents\": 2000, \"legacy_in_extended\": 0, \"extended_not_stored\": 2000, \"extended_stored_1m\": 0, \"extended_stored_coded\": 0, \"extended_secondary_2m\": 0, \"extended_chains_dropped\": 0, \"extended_cut\": 0, \"extended_periodic\": 0"
expect "the kernel logged nothing about the noise" bash -c "! grep -q 'Bluetooth: hci0' '$results/dmesg.txt'"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
finish
