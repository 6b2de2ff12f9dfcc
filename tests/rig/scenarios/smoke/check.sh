#!/usr/bin/env bash
# The rig itself: the controller answers the kernel's init, hciconfig
# brings hci0 up, and every report it sends reaches a raw HCI socket with
# the gateway's filter. Prints the figures it measured.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

probe_reports=$(value probe.txt reports)
sent=$(value controller.log reports)
expect "hciconfig hci0 up succeeded" grep -qx 'up_status=0' "$results/hciconfig.txt"
expect "hci0 is UP RUNNING" grep -q 'UP RUNNING' "$results/hciconfig.txt"
expect "the probe ran" grep -qx 'probe_status=0' "$results/hciconfig.txt"
expect "the kernel's init met no unknown command" \
  bash -c "! grep -q 'answered=yes status=0x01' '$results/controller.log'"
expect "the probe's scan parameters reached the controller" \
  grep -q '^scan_parameters .* interval=0x00A0 window=0x00A0 .*status=0x00' "$results/controller.log"
expect "20 iBeacon reports, byte for byte" \
  test "$(grep -c 'address=C0FFEE000001 type=1 event=3 rssi=-61 data=0201061AFF4C000215E2C56DB5DFFB48D2B060D0F5A71096E000010002C5$' "$results/probe.txt")" = 20
expect "8 reports of the other advertiser, byte for byte" \
  test "$(grep -c 'address=112233445566 type=0 event=0 rssi=-70 data=020106$' "$results/probe.txt")" = 8
expect "the controller sent 5,028 reports, none to a disabled scan" \
  grep -q '^summary .* reports=5028 missed=0' "$results/controller.log"
expect "every report sent reached the raw socket (${probe_reports:-0} of ${sent:-?})" \
  test "${probe_reports:-0}" = "${sent:-x}"
expect "no gap in the numbered burst" test "$(value probe.txt lost)" = 0

init_commands=$(awk '/^command/ { n++ } /^scan_enable/ { exit } END { print n + 0 }' "$results/controller.log")
boot_ms=$(sed -n 's/^INIT uptime_ms=//p' "$results/rig.txt")
echo "  figures: the kernel reached init at $boot_ms ms of VM uptime, $init_commands init" \
  "commands; burst of $(value probe.txt numbered) received at $(value probe.txt numbered_rate)/s," \
  "lost $(value probe.txt lost); whole run $(value rig.txt elapsed_ms) ms on the host"
finish
