#!/usr/bin/env bash
# A controller reset under the gateway: uploads resume within 90 s, with
# nothing printed and no retry counted.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

reset=$(value field.txt epoch)
delay=$(upload_delay "${reset:-0}")
expect "hciconfig hci0 reset reached the controller" \
  bash -c "grep -qx 'reset_status=0 .*' '$results/field.txt' && test \"\$(grep -c '^reset ' '$results/controller.log')\" -ge 2"
expect "the gateway set the scan up again after the reset" \
  bash -c "sed -n '\$(grep -n \"^reset \" \"$results/controller.log\" | tail -1 | cut -d: -f1),\$p' '$results/controller.log' | grep -q '^scan_enable .* enable=1 .*status=0x00'"
expect "uploads resumed within 90 s of the reset (${delay:-never} s)" \
  bash -c "[ -n '$delay' ] && [ \"\${delay%.*}\" -lt 90 ]"
expect "the gateway printed nothing about it" test ! -s "$results/gateway.out"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
echo "  figures: first upload of a row received after the reset ${delay:-never} s after it"
finish
