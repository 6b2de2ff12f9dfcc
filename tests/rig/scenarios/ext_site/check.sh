#!/usr/bin/env bash
# Every complete extended advertisement the controller sent reaches the
# broker once in ext_beacons_data with the row the controller logged for it
# (but the receive time): the environmental sensors' short frames, the
# 1,000-byte chains and the long-range (Coded) advertisers; no truncated
# chain becomes a row; the legacy rows beside them are exactly those a
# legacy-only site makes; every batch message keeps to max_message_bytes_S1.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"
. "$here/../ext_lib.sh"

log=$results/controller.log
budget=$(sed -n "s/^[[:space:]]*option max_message_bytes_S1 '\([0-9]*\)'.*/\1/p" "$here/etc/config/tobixlite_config")
sent() { sed -n "s/^advertiser .*name=$1 sent=\([0-9]*\) missed=\([0-9]*\).*/\1\/\2/p" "$log"; }

expect "extended scan parameters for 1M and Coded accepted" \
  grep -q '^ext_scan_parameters .* phys=0x05 .*status=0x00' "$log"
expect "extended scanning enabled" grep -q '^ext_scan_enable .* enable=1 .*status=0x00' "$log"
for kind in env:100 chains:20 far:10 broken:10 env_legacy:100 tags:200; do
  expect "the controller sent every ${kind%:*} advertisement, none missed ($(sent "${kind%:*}"))" \
    test "$(sent "${kind%:*}")" = "${kind#*:}/0"
done
expect "each 1,000-byte frame went out as a chain of 5 reports" \
  test "$(grep -c '^extended .* name=chains .* reports=5 status=complete' "$log")" = 20

expected=$(logged_rows env chains far)
uploaded=$(uploaded_rows ext_beacons_data)
expect "every extended advertisement uploaded once with its row ($(echo "$uploaded" | grep -c .) of $(echo "$expected" | grep -c .))" \
  diff <(echo "$expected") <(echo "$uploaded")
expect "the long-range ones among them, Coded on both PHYs ($(echo "$uploaded" | grep -c '^C3.\{16\}0303'))" \
  test "$(echo "$uploaded" | grep -c '^C3.\{16\}0303')" = 10
expect "no truncated chain became a row" test "$(echo "$uploaded" | grep -c "^C4")" = 0
legacy=$( (numbered_legacy_rows C100000000 10 C2 020106 100
           numbered_legacy_rows D000000000 20 C6 02010603FFFFFF 200) | sort)
expect "the legacy rows beside them: each report once, as a legacy-only site uploads it" \
  diff <(echo "$legacy") <(uploaded_rows raw_beacons_data)
largest=$(message_sizes | sort -n | tail -1)
expect "every batch message within max_message_bytes_S1 $budget (largest ${largest:-?})" \
  test "${largest:-0}" -gt 0 -a "${largest:-0}" -le "${budget:-0}"
expect "a batch without extended rows carries no extended keys" \
  bash -c "! messages /Tobix/Beacons | grep -v 'ext_beacons_data' | grep -q '\"ext_'"
scan=$(sed -n 's/.*"extended_stored_1m": \([0-9]*\), "extended_stored_coded": \([0-9]*\), "extended_secondary_2m": \([0-9]*\), "extended_chains_dropped": \([0-9]*\).*/\1 \2 \3 \4/p' "$results/stats.txt")
expect "statistics: 120 stored from 1M, 10 from Coded, 120 on 2M, 10 truncated chains dropped ($scan)" \
  test "$scan" = "120 10 120 10"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
finish
