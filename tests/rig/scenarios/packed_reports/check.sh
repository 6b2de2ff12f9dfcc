#!/usr/bin/env bash
# Every report of a packed event is stored, counted and uploaded once, also
# across a stop and a new process.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

expect "the controller sent 300 reports in 100 events" \
  grep -q '^summary .* reports=300 missed=0 .* events=100 extended_events=0$' "$results/controller.log"
for beacon in A1 B2 C3; do
  numbers=$(batch_rows raw_beacons_data | grep "^C000000000${beacon}" | sed 's/.*07FFFFFF\(........\)........$/\1/')
  count=$(echo "$numbers" | sed '/^$/d' | wc -l)
  distinct=$(echo "$numbers" | sed '/^$/d' | sort -u | wc -l)
  expect "every report of beacon $beacon uploaded once ($count rows, $distinct distinct)" \
    test "$count/$distinct" = 100/100
done
stat() { sed -n "s/.*\"$1\":{[^}]*\"$2\": \([0-9]*\).*/\1/p" "$results/stats.txt"; }
expect "statistics: DC in and out $(stat DC in)/$(stat DC out)" \
  test "$(stat DC in)/$(stat DC out)" = 300/300
expect "SIGTERM ended both gateway processes with status 0" \
  bash -c "grep -qx exit=0 '$results/first_gateway.status' && grep -qx exit=0 '$results/gateway.status'"
finish
