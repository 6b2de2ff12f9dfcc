# Helpers for a scenario's check.sh on the host: "expect" lines that count
# failures, values of the rig's key=value logs, and the beacon rows of the
# batch messages the broker saw. Source it with the results folder in $1.
results=$1
failures=0

expect() {  # expect DESCRIPTION COMMAND...
  local description=$1
  shift
  if "$@" >/dev/null 2>&1; then
    echo "  ok   $description"
  else
    echo "  FAIL $description"
    failures=$((failures + 1))
  fi
}

# value FILE KEY: the last KEY=value of FILE.
value() { grep -o "\<$2=[^ ]*" "$results/$1" 2>/dev/null | tail -1 | cut -d= -f2; }

# messages TOPIC: the payloads published on TOPIC, one a line, in arrival order.
messages() { awk -v topic="$1" '$2 == topic { $1 = ""; $2 = ""; sub(/^  /, ""); print }' "$results/messages.txt" 2>/dev/null; }

# batch_rows FIELD: every row text of FIELD ("raw_beacons_data" or
# "filtered_beacons_data") in the batch messages, one a line.
batch_rows() {
  messages /Tobix/Beacons | sed -n "s/.*\"$1\": *\"\([^\"]*\)\".*/\1/p" | tr ';' '\n' | sed '/^$/d'
}

# gateway_count TEXT: how often the gateway printed TEXT, byte for byte
# (printf escapes, so "\n\r" endings count: a line is its text and ending).
gateway_count() {
  local text needle rest
  text=$(cat "$results/gateway.out" 2>/dev/null; echo x)
  needle=$(printf "$1"; echo x)
  needle=${needle%x}
  rest=${text//"$needle"/}
  echo $(( (${#text} - ${#rest}) / ${#needle} ))
}
gateway_has() { [ "$(gateway_count "$1")" -gt 0 ]; }

finish() {
  if [ "$failures" -eq 0 ]; then echo "  all checks passed"; else echo "  $failures check(s) failed"; fi
  # Only the printed lines leave a CI machine: the run's order of events and
  # the gateway's own complaints, to tell a timing fault from a wrong result.
  if [ "$failures" -ne 0 ]; then
    sed 's/^/  | events: /' "$results/events.txt" 2>/dev/null
    sed 's/^/  | status_led got (uptime s): /' "$results/status.log" 2>/dev/null
    grep -h 'ZENTIB_ERROR' "$results/gateway.out" 2>/dev/null | sort | uniq -c | head -n 20 | sed 's/^/  | gateway: /'
    grep -h '^scan_enable\|^ext_scan_enable\|^advertiser\|^reset' "$results/controller.log" 2>/dev/null | head -n 40 | sed 's/^/  | controller: /'
  fi
  [ "$failures" -eq 0 ]
}

# upload_delay EPOCH: seconds from EPOCH (a wall-clock second of the VM) to
# the arrival at the broker of the first batch holding a row received after
# EPOCH (a row's last 8 hex digits are its receive time); empty if none.
upload_delay() {
  awk -v since="$1" '$2 == "/Tobix/Beacons" {
      n = split($0, parts, /[";]/)
      for (i = 1; i <= n; i++) if (parts[i] ~ /^[0-9A-F]+$/ && length(parts[i]) > 16) {
        t = 0; hex = substr(parts[i], length(parts[i]) - 7)
        for (j = 1; j <= 8; j++) t = t * 16 + index("0123456789ABCDEF", substr(hex, j, 1)) - 1
        if (t > since) { printf "%.1f\n", $1 - since; exit }
      }
    }' "$results/messages.txt" 2>/dev/null
}
