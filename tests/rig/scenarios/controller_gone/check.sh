#!/usr/bin/env bash
# A controller gone for good: retries done, status 3, SIGUSR1 to the parent
# and the Interface Failure packet at the broker.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

expect "uploads ran before the unplug" test -n "$(upload_delay 0)"
expect "bringing hci0 up failed while it was gone" \
  gateway_has 'ZENTIB_ERROR : SENSOR1 : Cannot Execute hciconfig hci0 up >/dev/null 2>&1\n\r'
expect "the retries ran out once" \
  test "$(gateway_count 'ZENTIB_ERROR : SENSOR1 : Software Retries done\n\r')" = 1
expect "the parent got exactly one SIGUSR1" \
  bash -c "[ \"\$(grep -c ' SIGUSR1$' '$results/parent.log')\" = 1 ] && ! grep -v ' SIGUSR1$' '$results/parent.log'"
expect "the Interface Failure packet reached the broker" \
  bash -c "grep -q ' /Logs/Error {\"Tag\":\"Interface Failure\",.*\"Message\":\"BT4 Interface Failed\"}' '$results/messages.txt'"
expect "the gateway ended by itself with status 3" grep -qx 'exit=3' "$results/gateway.status"
finish
