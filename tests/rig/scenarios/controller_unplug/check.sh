#!/usr/bin/env bash
# A controller unplugged for a few seconds and back: uploads resume and the
# service goes on (no "Software Retries done", no SIGUSR1 to the parent).
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

replug=$(value field.txt epoch)
delay=$(upload_delay "${replug:-0}")
expect "the kernel unregistered hci0 and registered it again" \
  bash -c "grep -q '^unplugged ' '$results/controller.log' && grep -q '^replugged ' '$results/controller.log'"
expect "the scan was set up again after the replug" \
  bash -c "sed -n '/^replugged /,\$p' '$results/controller.log' | grep -q '^scan_enable .* enable=1 .*status=0x00'"
expect "uploads resumed after the replug (first new row after ${delay:-never} s)" test -n "$delay"
expect "the retries did not run out" \
  test "$(gateway_count 'ZENTIB_ERROR : SENSOR1 : Software Retries done\n\r')" = 0
expect "the parent got no SIGUSR1" bash -c "! grep -q ' SIGUSR1$' '$results/parent.log'"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
echo "  figures: first upload of a row received after the replug ${delay:-never} s after it"
finish
