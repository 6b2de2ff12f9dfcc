#!/usr/bin/env bash
# A hung controller: back-offs, "Software Retries done", exit status 3,
# SIGUSR1 to the parent and the Interface Failure packet at the broker.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

expect "the controller hung at LE Set Scan Parameters" \
  grep -q '^mute .* reason=command opcode=0x200B' "$results/controller.log"
expect "the refused scan parameters were reported once" \
  test "$(gateway_count 'ZENTIB_ERROR : SENSOR1 : Set scan parameters failed\n\r')" = 1
expect "bringing hci0 up failed after the hang" \
  gateway_has 'ZENTIB_ERROR : SENSOR1 : Cannot Execute hciconfig hci0 up >/dev/null 2>&1\n\r'
# One back-off after the refused parameters, then two cycles of a failed
# bring-up and its back-off: three back-offs, five failed "up" commands.
before=$(awk '/Software Retries done/ { exit } /Cannot Execute hciconfig hci0 up / { n++ } END { print n + 0 }' "$results/gateway.out" 2>/dev/null)
expect "three back-offs came before the retries ran out ($before failed ups)" test "$before" = 5
expect "the retries ran out once" \
  test "$(gateway_count 'ZENTIB_ERROR : SENSOR1 : Software Retries done\n\r')" = 1
expect "the sensor failure was announced" \
  gateway_has 'ZENTIB_ERROR : Restarting Program due Sensor1(BLE) Failure\n\r'
expect "the parent got exactly one SIGUSR1" \
  bash -c "[ \"\$(grep -c ' SIGUSR1$' '$results/parent.log')\" = 1 ] && ! grep -v ' SIGUSR1$' '$results/parent.log'"
expect "the Interface Failure packet reached the broker" \
  bash -c "grep -q ' /Logs/Error {\"Tag\":\"Interface Failure\",.*\"SourceID\":\"TBX000000000001\",\"Message\":\"BT4 Interface Failed\"}' '$results/messages.txt'"
expect "the gateway ended by itself with status 3" grep -qx 'exit=3' "$results/gateway.status"
expect "the teardown signalled status_led last" bash -c "tail -1 '$results/status.log' | grep -q ' SIGUSR1$'"
finish
