#!/usr/bin/env bash
# The byte budget cuts the batch and the rest follows in the next periods:
# every extended and legacy row uploaded once, no message above
# max_message_bytes_S1, never two 1,000-byte rows in one message.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"
. "$here/../ext_lib.sh"

log=$results/controller.log
budget=$(sed -n "s/^[[:space:]]*option max_message_bytes_S1 '\([0-9]*\)'.*/\1/p" "$here/etc/config/tobixlite_config")
expected=$(logged_rows chains env)
uploaded=$(uploaded_rows ext_beacons_data)
expect "the controller sent 10 chains and 40 short frames ($(echo "$expected" | grep -c .) rows)" \
  test "$(echo "$expected" | grep -c .)" = 50
expect "every extended row uploaded once ($(echo "$uploaded" | grep -c .) uploaded)" \
  diff <(echo "$expected") <(echo "$uploaded")
expect "every legacy row uploaded once" \
  diff <(numbered_legacy_rows D000000000 10 C6 02010603FFFFFF 40) <(uploaded_rows raw_beacons_data)
largest=$(message_sizes | sort -n | tail -1)
expect "every batch message within $budget bytes (largest ${largest:-?})" \
  test "${largest:-0}" -gt 0 -a "${largest:-0}" -le "${budget:-0}"
# 1,000-byte rows per message, for the messages that carry any.
per_message=$(messages /Tobix/Beacons | sed -n 's/.*"ext_beacons_data": *"\([^"]*\)".*/\1/p' |
  awk -F';' '{ n = 0; for (i = 1; i <= NF; i++) if (length($i) > 2000) n++; if (n) print n }')
expect "the budget cut the batch: the chains went out one a message, in $(echo "$per_message" | grep -c .) messages" \
  test "$(echo "$per_message" | grep -c .)" = 10 -a "$(echo "$per_message" | sort -u)" = 1
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
finish
