# The soak inside the rig's VM (started by tests/rig/soak/run-soak, which
# writes ./seconds, ./schedule and controller.scn). The gateway runs under
# its supervising parent; rounds of field conditions follow the schedule;
# every uploaded row is reduced at once to "<address> <report number>" in
# /tmp (an hour of whole batches would not fit the VM), and the accounting
# runs here at the end into /rig/out/soak.txt for check.sh.
seconds=$(cat ./seconds)
read -r warmup round < ./schedule
steady_interval_ms=$(sed -n 's/^advertiser name=steady .* interval=\([0-9]*\) .*/\1/p' ./controller.scn)

event() { echo "$1 $(uptime_ms)" >> "$RIG_OUT/soak_events.txt"; rig_log "$1"; }

launched=$(uptime_ms)
rig_controller_start || exit 1
echo "controller_launched $launched" >> "$RIG_OUT/soak_events.txt"
rig_broker_start || exit 1

# Batches as they arrive: one line per batch ("B <arrival s> <unnumbered
# rows>") and one per numbered raw row ("<address> <report number>").
# Numbered rows end with the 8 hex digits of the number, then 8 of the
# receive time; the unnumbered ones are the corpus's, only counted.
subscribe_rows() {
  mosquitto_sub -h 127.0.0.1 -p "$RIG_BROKER_PORT" -t /Tobix/Beacons -F '%U %p' 2>> "$RIG_OUT/subscriber.err" |
    awk 'function hex(text,   i, v) {
           v = 0
           for (i = 1; i <= length(text); i++) v = v * 16 + index("0123456789ABCDEF", substr(text, i, 1)) - 1
           return v
         }
         {
           n = split($0, parts, /[";]/)
           numbered = ""; unnumbered = 0
           for (i = 1; i <= n; i++)
             if (parts[i] ~ /^[0-9A-F]+07FFFFFF[0-9A-F]+$/) {
               row = parts[i]; l = length(row)
               numbered = numbered substr(row, 1, 12) " " hex(substr(row, l - 15, 8)) "\n"
             } else if (parts[i] ~ /^[0-9A-F]+$/ && length(parts[i]) >= 20) {
               unnumbered++
             }
           printf "B %s %d\n%s", $1, unnumbered, numbered
           fflush()
         }' >> /tmp/rows.txt
}
subscribe_rows &
rig_track subscriber $!
mosquitto_sub -h 127.0.0.1 -p "$RIG_BROKER_PORT" -t '/Logs/#' -F '%U %t %p' \
  >> "$RIG_OUT/messages.txt" 2>> "$RIG_OUT/subscriber.err" &
rig_track log_subscriber $!
sleep 1

cp ./tobixlite_supervisor /rig/bin/ || exit 1
/rig/bin/tobixlite_supervisor > "$RIG_OUT/gateway.out" 2>&1 &
rig_track gateway $!
rig_log "gateway started under its parent"
rig_wait_scanning 60 || { event "no_scan"; exit 1; }
start=$(uptime_ms)
event "scanning"

# sensor_handler's memory, descriptors and threads once a minute.
(
  while :; do
    pid=$(pgrep -x sensor_handler | head -1)
    if [ -n "$pid" ]; then
      echo "$(uptime_ms) $pid $(awk '/^VmRSS/ { print $2 }' /proc/$pid/status)" \
        "$(ls /proc/$pid/fd 2>/dev/null | wc -l) $(awk '/^Threads/ { print $2 }' /proc/$pid/status)" \
        >> "$RIG_OUT/resources.txt"
    fi
    sleep 60
  done
) &
rig_track sampler $!

# The bytes waiting in the HCI sockets' receive queues (the kernel's list
# of Bluetooth sockets, column Rmem) every 2 s: a queue near its limit
# means the kernel drops events before the gateway reads them.
(
  while :; do
    echo "$(uptime_ms) $(awk 'NR > 1 && $3 > most { most = $3 } END { print most + 0 }' /proc/net/hci 2>/dev/null)" \
      >> "$RIG_OUT/hci_queue.txt"
    sleep 2
  done
) &
rig_track queue_sampler $!

# at SECONDS: sleeps until SECONDS after the first scan enable.
at() {
  local left=$(( start + $1 * 1000 - $(uptime_ms) ))
  [ "$left" -gt 0 ] && sleep "$(( left / 1000 )).$(printf '%03d' $(( left % 1000 )))"
  return 0
}
r=0
while [ $((warmup + r * round + round)) -le "$seconds" ]; do
  base=$((warmup + r * round))
  at "$base";       event "broker_down";  rig_stop broker
  at $((base + 20));  rig_broker_start;  event "broker_up"
  at $((base + 100)); event "unplug";  rig_controller_unplug
  at $((base + 105)); rig_controller_replug; event "replug"
  at $((base + 200)); event "reset"; hciconfig hci0 reset
  at $((base + 300)); event "restart"; kill -USR1 "$(pgrep -x sensor_handler | head -1)"
  at $((base + 400)); event "burst"
  r=$((r + 1))
done
at "$seconds"
event "end"
rig_gateway_stop
sleep 3
# The controller writes what each advertiser sent when it ends.
rig_stop controller

# Batch arrivals (wall seconds) and the broker's outages (uptime turned
# into wall seconds by the offset between the two clocks now).
offset=$(( $(date +%s) * 1000 - $(uptime_ms) ))
awk '$1 == "B" { print $2 }' /tmp/rows.txt > "$RIG_OUT/batch_times.txt"
awk -v offset="$offset" '$1 == "broker_down" || $1 == "broker_up" || $1 == "scanning" || $1 == "end" {
  printf "%s %.3f\n", $1, ($2 + offset) / 1000 }' "$RIG_OUT/soak_events.txt" > "$RIG_OUT/outages.txt"

# --- Accounting ---------------------------------------------------------
# Steady report n was due at clock + n * its interval (5 ms beside the
# corpus, 4 ms without), the clock starting at the
# controller's first accepted scan enable. A report counts as played while
# the gateway could take it unless it was due near a field condition: from
# 5 s before the broker stopped (rows read but not yet published are
# cleared while the broker is down) to 30 s after it was back (the link's
# reconnect pause reaches 16 s within a 20 s outage, and the next read
# phase may come a sensing period of 10 s later); 3 s before
# an unplug to 15 s after the replug; 3 s before a reset to 80 s after (the
# quiet minute); 3 s before a SIGUSR1 to 15 s after (what queued while the
# run was rebuilt is dropped as stale); a burst from its start to 20 s after
# its end (1,250 reports a second, five times the UART's ceiling, are more
# than the emulated board stores: the socket's 2 MiB queue fills and the
# kernel drops the rest; the steady reports lost then are counted apart);
# the first 10 s and the last 10 s.
first_enable=$(sed -n 's/^scan_enable t_ms=\([0-9]*\) enable=1 .*status=0x00.*/\1/p' "$RIG_OUT/controller.log" | head -1)
clock=$(( launched + ${first_enable:-0} ))
# Healthy ranges of report numbers, "first last", in order.
awk -v clock="$clock" -v step="$steady_interval_ms" '
  { t = $2 - clock }
  $1 == "broker_down" { from[++w] = t - 5000 }
  $1 == "broker_up" { to[w] = t + 30000 }
  $1 == "burst" { from[++w] = t; to[w] = t + 30000 }
  $1 == "unplug" || $1 == "reset" || $1 == "restart" { from[++w] = t - 3000 }
  $1 == "replug" || $1 == "restart" { to[w] = t + 15000 }
  $1 == "reset" { to[w] = t + 80000 }
  $1 == "end" { last = t - 10000 }
  END {
    begin = 10000
    for (i = 1; i <= w; i++) {
      if (from[i] > begin) printf "%d %d\n", int((begin + step - 1) / step), int(from[i] / step)
      begin = to[i]
    }
    if (last > begin) printf "%d %d\n", int((begin + step - 1) / step), int(last / step)
  }' "$RIG_OUT/soak_events.txt" > "$RIG_OUT/healthy_ranges.txt"
# The bursts' windows, for the steady reports lost to the overload.
awk -v clock="$clock" -v step="$steady_interval_ms" '$1 == "burst" {
  t = $2 - clock; printf "%d %d\n", int((t + step - 1) / step), int((t + 30000) / step) }' \
  "$RIG_OUT/soak_events.txt" > "$RIG_OUT/burst_ranges.txt"
awk '$1 ~ /^C0000000/ { print $2 }' /tmp/rows.txt | sort -n -u > /tmp/steady_distinct.txt
# Each run of healthy report numbers never uploaded, "first last count due_s"
# (due_s: seconds after the clock), to lay beside soak_events.txt. Both
# inputs are sorted: one pass, nothing held but the ranges.
awk -v step="$steady_interval_ms" '
  function gap(first, last) {
    if (first <= last) printf "%d %d %d %.1f\n", first, last, last - first + 1, first * step / 1000
  }
  NR == FNR { a[NR] = $1; b[NR] = $2; ranges = NR; next }
  FNR == 1 { r = 1; next_due = a[1] }
  {
    while (r <= ranges && $1 > b[r]) { gap(next_due, b[r]); r++; next_due = a[r] }
    if (r > ranges) exit
    if ($1 >= a[r]) { gap(next_due, $1 - 1); next_due = $1 + 1 }
  }
  END { for (; r <= ranges; r++) { gap(next_due, b[r]); next_due = a[r + 1] } }' \
  "$RIG_OUT/healthy_ranges.txt" /tmp/steady_distinct.txt > "$RIG_OUT/steady_missing.txt"
# in_ranges NAME RANGES: how many steady reports the ranges hold and how
# many of them were uploaded.
in_ranges() {
  awk -v name="$1" 'NR == FNR { a[NR] = $1; b[NR] = $2; ranges = NR; expected += $2 - $1 + 1; next }
       { while (r <= ranges && $1 > b[r]) r++
         if (r <= ranges && $1 >= a[r]) found++ }
       BEGIN { r = 1 }
       END { printf "%s_expected=%d\n%s_expected_uploaded=%d\n", name, expected, name, found }' \
    "$2" /tmp/steady_distinct.txt
}
{
  in_ranges steady "$RIG_OUT/healthy_ranges.txt"
  in_ranges steady_in_bursts "$RIG_OUT/burst_ranges.txt"
  echo "steady_$(sed -n 's/^advertiser .*name=steady \(sent=[0-9]*\) \(missed=[0-9]*\).*/\1 steady_\2/p' "$RIG_OUT/controller.log")"
  echo "steady_uploaded_distinct=$(wc -l < /tmp/steady_distinct.txt)"
  # The corpus's events carry no number: load, counted but not accounted.
  if grep -q '^advertiser .*name=corpus ' "$RIG_OUT/controller.log"; then
    echo "corpus_$(sed -n 's/^advertiser .*name=corpus \(sent=[0-9]*\) \(missed=[0-9]*\).*/\1 corpus_\2/p' "$RIG_OUT/controller.log")" \
      "corpus_rows_uploaded=$(awk '$1 == "B" { n += $3 } END { print n + 0 }' /tmp/rows.txt)"
  fi
  echo "rows_uploaded=$(grep -vc '^B ' /tmp/rows.txt)"
  echo "rows_repeated=$(grep -v '^B ' /tmp/rows.txt | sort | uniq -d | wc -l)"
  echo "batches=$(grep -c '^B ' /tmp/rows.txt)"
  r=0
  while grep -q "name=burst$r " "$RIG_OUT/controller.log"; do
    prefix=$(printf 'D0000000%02X' "$r")
    echo "burst${r}_sent=$(sed -n "s/^advertiser .*name=burst$r sent=\([0-9]*\).*/\1/p" "$RIG_OUT/controller.log")" \
      "burst${r}_uploaded=$(awk -v p="$prefix" 'substr($1, 1, 10) == p' /tmp/rows.txt | sort -u | wc -l)"
    r=$((r + 1))
  done
} > "$RIG_OUT/soak.txt"
