#!/usr/bin/env bash
# The board keeps up with a busy site on the shipped settings: every report
# played from the first stored on reached the broker once, and every batch
# message kept to the shipped bounds (max_rows_upload_S1 rows,
# max_message_bytes_S1 bytes). Then the board's figures, printed and not
# judged: sensor_handler's share of the CPU and instructions per report (at
# 250 M guest instructions a second), its memory, the board's lowest
# MemAvailable and the most of /tmp in use, at rest and during the play,
# and where the play's CPU time went.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scenarios/check_lib.sh"

setting() { sed -n "s/^[[:space:]]*option $1 '\([0-9]*\)'.*/\1/p" "$results/tobixlite_config"; }
max_rows=$(setting max_rows_upload_S1) max_bytes=$(setting max_message_bytes_S1)
batches="$results/batches.txt"  # <arrival> <bytes> <rows>
sent=$(sed -n 's/^advertiser .*name=tags sent=\([0-9]*\).*/\1/p' "$results/controller.log")
stored=$(sed -n 's/.*"L3":{"in": [0-9]*, "out": \([0-9]*\).*/\1/p' "$results/stats.txt")
uploaded=$(awk '{ n += $3 } END { print n + 0 }' "$batches" 2>/dev/null)
numbers=$(sort -u "$results/numbers.txt" 2>/dev/null | while read -r n; do echo $((16#$n)); done)
distinct=$(echo "$numbers" | grep -c .)
first=$(echo "$numbers" | head -1)
got=$(echo "$numbers" | awk -v from="${first:-0}" -v to=$((${sent:-0} - 1)) '$1 >= from && $1 <= to' | wc -l)
read -r largest most_rows < <(awk '$2 > b { b = $2 } $3 > r { r = $3 } END { print b + 0, r + 0 }' "$batches" 2>/dev/null)

expect "every row stored was uploaded once ($uploaded of ${stored:-?}, $distinct distinct)" \
  test "${stored:-0}" -gt 0 -a "$uploaded" = "${stored:-x}" -a "$distinct" = "$uploaded"
expect "every report from the first stored (${first:-?}) to the last of ${sent:-?} sent was uploaded ($got)" \
  test "$got" -gt 0 -a "$got" = $(( ${sent:-0} - ${first:-0} ))
expect "every batch within $max_rows rows and $max_bytes bytes (at most $most_rows rows, $largest bytes)" \
  test "${largest:-0}" -gt 0 -a "${largest:-0}" -le "${max_bytes:-0}" -a "${most_rows:-0}" -le "${max_rows:-0}"

# Figures. /proc counts CPU time in ticks of 1/100 s.
snap() { awk -v key="$2" '$1 == key { $1 = ""; print substr($0, 2); exit }' "$results/snapshot-$1.txt"; }
figures() {  # figures FROM TO LABEL: between two snapshots
  local from to
  from=$(snap "$1" uptime_ms) to=$(snap "$2" uptime_ms)
  read -r u0 k0 <<< "$(snap "$1" gateway)"
  read -r u1 k1 <<< "$(snap "$2" gateway)"
  awk -v from="$from" -v to="$to" -v label="$3" -v rows=$(( $(snap "$2" stored) + 0 - $(snap "$1" stored) + 0 )) \
    -v user=$((${u1:-0} - ${u0:-0})) -v kernel=$((${k1:-0} - ${k0:-0})) '
    $1 >= from && $1 <= to && NF >= 8 {
      if ($4 > rss) rss = $4; if ($5 > hwm) hwm = $5; if ($7 > tmp) tmp = $7
      if (!low || $6 < low) low = $6
    }
    END {
      seconds = (to - from) / 1000; cpu = (user + kernel) / 100
      printf "  %s: sensor_handler %.2f %% of the CPU (user %.2f %%, kernel %.2f %%) over %.1f s", label,
        100 * cpu / seconds, user / seconds, kernel / seconds, seconds
      if (rows > 0) printf ", %d rows stored, %.0f instructions per report", rows, cpu * 250e6 / rows
      printf "\n  %s: VmRSS at most %d kB, VmHWM %d kB, MemAvailable at least %d kB, /tmp at most %d kB\n",
        label, rss, hwm, low, tmp
    }' "$results/samples.txt"
}
figures rest quiet "at rest"
figures play end "busy site"
# Where the CPU went: the board's user, kernel, interrupt and idle time,
# the processes that used any, sensor_handler's threads (by thread ID, in
# the order they started), its context switches and the floating-point
# instructions the kernel emulated.
profile() {  # profile FROM TO LABEL
  awk -v label="$3" '
    FNR == 1 { file++ }
    $1 == "uptime_ms" { t[file] = $2 }
    $1 == "cpu" { for (i = 2; i <= 8; i++) c[file, i] = $i }
    $1 == "fpu_emulated" { f[file] = $2 }
    $1 == "switches" { v[file] = $2; nv[file] = $3 }
    $1 == "process" { key = $3 " " $2; pu[file, key] = $4; pk[file, key] = $5; keys[key] = 1 }
    $1 == "thread" { tu[file, $2] = $3; tk[file, $2] = $4; tids[$2] = 1 }
    END {
      s = (t[2] - t[1]) / 1000
      printf "  %s, the board: user %.1f %%, kernel %.1f %%, interrupts %.1f %%, idle %.1f %%\n", label,
        (c[2,2] + c[2,3] - c[1,2] - c[1,3]) / s, (c[2,4] - c[1,4]) / s,
        (c[2,7] + c[2,8] - c[1,7] - c[1,8]) / s, (c[2,5] - c[1,5]) / s
      printf "  %s, floating-point instructions emulated: %.0f a second; sensor_handler context switches: %.0f a second (%.0f involuntary)\n",
        label, (f[2] - f[1]) / s, (v[2] + nv[2] - v[1] - nv[1]) / s, (nv[2] - nv[1]) / s
      for (key in keys) {
        used = pu[2, key] + pk[2, key] - pu[1, key] - pk[1, key]
        if (used > 0) printf "  %s, process %s: user %.2f %%, kernel %.2f %%\n", label, key,
          (pu[2, key] - pu[1, key]) / s, (pk[2, key] - pk[1, key]) / s
      }
      for (tid in tids)
        if (tu[2, tid] + tk[2, tid] > tu[1, tid] + tk[1, tid])
          printf "  %s, sensor_handler thread %s: user %.2f %%, kernel %.2f %%\n", label, tid,
            (tu[2, tid] - tu[1, tid]) / s, (tk[2, tid] - tk[1, tid]) / s
    }' "$results/snapshot-$1.txt" "$results/snapshot-$2.txt" | sort
}
profile rest quiet "at rest"
profile play end "busy site"
echo "  rig: $(sed -n 's/^host //p' "$results/rig.txt")"
finish
