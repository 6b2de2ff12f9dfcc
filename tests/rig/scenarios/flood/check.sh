#!/usr/bin/env bash
# Every report of the burst reaches the table and the broker once; the
# statistics file and the Ping's rates agree with the scenario.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

sent=$(sed -n 's/^advertiser .*name=flood sent=\([0-9]*\).*/\1/p' "$results/controller.log")
numbers=$(batch_rows raw_beacons_data | sed 's/.*07FFFFFF\(........\)........$/\1/')
uploaded=$(echo "$numbers" | sed '/^$/d' | wc -l)
distinct=$(echo "$numbers" | sed '/^$/d' | sort -u | wc -l)
expect "the controller sent the whole burst (${sent:-?})" test "${sent:-0}" = 10000
expect "every report reached the broker ($uploaded rows)" test "$uploaded" = "${sent:-x}"
expect "none twice ($distinct distinct)" test "$distinct" = "$uploaded"
stat() { sed -n "s/.*\"$1\":{[^}]*\"$2\": \([0-9]*\).*/\1/p" "$results/stats.txt"; }
expect "statistics: DC in and out $(stat DC in)/$(stat DC out)" \
  test "$(stat DC in)/$(stat DC out)/$(stat L0 out)/$(stat L3 out)" = "$sent/$sent/$sent/$sent"
# All of the burst fell in one raw window of 39 s.
rate=$(( ${sent:-0} / 39 ))
expect "statistics: DC rate_in $(stat DC rate_in) = $rate" \
  test "$(stat DC rate_in)/$(stat DC rate_out)" = "$rate/$rate"
expect "a Ping carried the window's rates ($rate per second)" \
  grep -q "\"Tag\":\"Ping\".*\"AllPacketCount\": $rate,\"FilteredPacketCount\":$rate}}" "$results/messages.txt"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
finish
