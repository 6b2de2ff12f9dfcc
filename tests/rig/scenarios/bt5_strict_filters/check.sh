#!/usr/bin/env bash
# The filters scenario's rows, counters and batches, every check of its own
# on these results; and the gateway scanned with the extended set after the
# strict controller refused its legacy scan command.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

echo "  the filters scenario's checks:"
filters=$("$here/../filters/check.sh" "$results") || failures=$((failures + 1))
echo "$filters" | grep '^  \(ok\|FAIL\) '

log=$results/controller.log
expect "the kernel's init locked the controller (0x203B accepted)" \
  grep -q '^command .* opcode=0x203B .*status=0x00' "$log"
expect "a legacy scan command of the gateway was refused with 0x0C" \
  grep -Eq '^command .* opcode=0x200[BC] .*status=0x0C' "$log"
expect "no legacy scan command was accepted" bash -c "! grep -q '^scan_' '$log'"
expect "extended scan parameters 0x0060/0x0030 passive on the 1M PHY accepted" \
  grep -q '^ext_scan_parameters .* phys=0x01 type=0 interval=0x0060 window=0x0030 own_address_type=0 filter_policy=0 status=0x00' "$log"
expect "extended scanning enabled, continuous, without duplicate filtering" \
  grep -q '^ext_scan_enable .* enable=1 filter_duplicates=0 duration=0 period=0 status=0x00' "$log"
expect "the end of the run disabled the scan with the extended set" \
  bash -c "grep -E '^(ext_)?scan_enable ' '$log' | tail -1 | grep -q '^ext_scan_enable .* enable=0 .*status=0x00'"
events=$(value controller.log events)
expect "every report went out in extended events (${events:-0})" \
  test "${events:-0}" -gt 0 -a "${events:-0}" = "$(value controller.log extended_events)"
scan=$(sed -n 's/.*"SCAN":{\([^}]*\)}.*/\1/p' "$results/stats.txt")
expect "statistics: every report a legacy one through extended reports ($scan)" \
  test "$scan" = "\"mode\": \"extended\", \"other_subevents\": 0, \"legacy_in_extended\": $events, \"extended_not_stored\": 0, \"extended_stored_1m\": 0, \"extended_stored_coded\": 0, \"extended_secondary_2m\": 0, \"extended_chains_dropped\": 0, \"extended_cut\": 0, \"extended_periodic\": 0"
finish
