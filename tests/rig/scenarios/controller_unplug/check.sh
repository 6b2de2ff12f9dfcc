#!/usr/bin/env bash
# A controller unplugged for a few seconds and back: uploads resume and the
# service goes on (no "Software Retries done", no SIGUSR1 to the parent).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

replug=$(sed -n "s/^replugged epoch=//p" "$results/field.txt" 2>/dev/null)
delay=$([ -n "$replug" ] && upload_delay "$replug")
# A device still held open is not freed: its successor would be hci1.
expect "the kernel unregistered hci0 and registered hci0 again" test -n "$replug"
expect "the scan was set up again after the replug" \
  bash -c "sed -n '/^replugged /,\$p' '$results/controller.log' | grep -q '^scan_enable .* enable=1 .*status=0x00'"
expect "uploads resumed after the replug (first new row after ${delay:-never} s)" test -n "$delay"
expect "the retries did not run out" \
  test "$(gateway_count 'ZENTIB_ERROR : SENSOR1 : Software Retries done\n\r')" = 0
expect "the parent got no SIGUSR1" bash -c "! grep -q ' SIGUSR1$' '$results/parent.log'"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
echo "  figures: first upload of a row received after the replug ${delay:-never} s after it"
finish
