#!/usr/bin/env bash
# A controller reset under the gateway: uploads resume within 90 s, with
# nothing printed and no retry counted.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

reset=$(value field.txt epoch)
delay=$(upload_delay "${reset:-0}")
# The kernel's own reset at bring-up comes first; the last one is ours.
rescan=$(awk '/^reset / { after = 0; resets++ } /^scan_enable .* enable=1 .*status=0x00/ { after++ }
  END { print (resets >= 2 && after > 0) ? "yes" : "no" }' "$results/controller.log")
expect "hciconfig hci0 reset reached the controller" grep -q '^reset_status=0 ' "$results/field.txt"
expect "the gateway set the scan up again after the reset" test "$rescan" = yes
expect "uploads resumed within 90 s of the reset (${delay:-never} s)" \
  test -n "$delay" -a "${delay%.*}" -lt 90
expect "the gateway printed no error" bash -c "! grep -q ZENTIB_ERROR '$results/gateway.out'"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
echo "  figures: first upload of a row received after the reset ${delay:-never} s after it"
finish
