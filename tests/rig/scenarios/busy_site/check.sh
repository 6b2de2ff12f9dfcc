#!/usr/bin/env bash
# The shipped settings keep up with a busy site: every row stored reaches
# the broker once, the table stays bounded and does not grow, no batch's
# oldest row waits longer than two posting periods and a sensing period,
# and no batch message exceeds 128 KiB (the smallest limit among hosted
# brokers). The gateway had 30 s after the play to upload its last rows, so
# none may be left behind.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

setting() { sed -n "s/^[[:space:]]*option $1 '\([0-9]*\)'.*/\1/p" "$results/tobixlite_config"; }
sr=$(setting SR_S1) sd=$(setting SP_BT4_SD) pr=$(setting PR_S1) max_rows=$(setting max_rows_upload_S1)
rate=250
batches="$results/batches.txt"  # <arrival> <bytes> <rows> <oldest row> <newest row>
stored=$(sed -n 's/.*"L3":{"in": [0-9]*, "out": \([0-9]*\).*/\1/p' "$results/stats.txt")
uploaded=$(awk '{ n += $3 } END { print n + 0 }' "$batches" 2>/dev/null)
sent=$(sed -n 's/^advertiser .*name=tags sent=\([0-9]*\).*/\1/p' "$results/controller.log")
# Report numbers (8 hexadecimal digits), distinct, in order.
numbers=$(sort -u "$results/numbers.txt" 2>/dev/null | while read -r n; do echo $((16#$n)); done)
distinct=$(echo "$numbers" | grep -c .)
# What queued before the first read phase is dropped as old, and the
# bring-up enables the scan an instant before the socket's filter lets
# reports in: counted from a second after the first report stored.
from=$(( $(echo "$numbers" | head -1) + rate ))
got=$(echo "$numbers" | awk -v from="$from" -v to=$((${sent:-0} - 1)) '$1 >= from && $1 <= to' | wc -l)
# The play as stored: from the first batch's oldest row to the newest row.
read -r t0 t1 < <(awk 'NR == 1 { t0 = $4 } $5 > t1 { t1 = $5 } END { print t0 + 0, t1 + 0 }' "$batches" 2>/dev/null)

expect "every row stored was uploaded ($uploaded of ${stored:-?}, $((t1 - t0)) s of play), none twice ($distinct distinct)" \
  test "${stored:-0}" -gt 0 -a "$uploaded" = "${stored:-x}" -a "$distinct" = "$uploaded" -a $((t1 - t0)) -ge 180
expect "every report from $from to the last sent was stored ($got of $((${sent:-0} - from)))" \
  test "$got" -gt 0 -a "$got" = $((${sent:-0} - from))

# The table: at most a sensing period's and two posting periods' rows, and
# no more in the play's last minute than in its first full minute (after
# the first sensing period) but for noise. The samples fall at any phase of
# the sawtooth (rows pile up for a sensing period, then the published ones
# go): a minute's mean varies by a hundred rows or two. A growth of more
# than two seconds of radio between the two (a deficit of about 4 rows/s)
# fails.
bound=$(( (sr + 2 * pr) * rate ))
read -r low high first last < <(awk -v from=$((t0 + sr)) -v t1="$t1" '$2 != "" && $1 >= from && $1 <= t1 {
    if (n++ == 0 || $2 < low) low = $2
    if ($2 > high) high = $2
    if ($1 < from + 60) { f += $2; fn++ }
    if ($1 > t1 - 60) { l += $2; ln++ }
  } END { printf "%d %d %d %d\n", low, high, fn ? f / fn : -1, ln ? l / ln : -1 }' "$results/table_rows.txt" 2>/dev/null)
expect "the table stayed within $bound rows (${low:-?} to ${high:-?})" test "${high:-x}" -le "$bound"
expect "the table did not grow (mean $first rows in the first minute, $last in the last)" \
  test "${first:--1}" -ge 0 -a "${last:--1}" -ge 0 -a "${last:-1}" -le $(( ${first:-0} + 2 * rate ))

limit=$(( 2 * pr + sr ))
oldest=$(awk '{ age = $1 - $4; if (age > worst) worst = age } END { printf "%.1f", worst }' "$batches" 2>/dev/null)
read -r largest largest_rows < <(awk '$2 > most { most = $2; rows = $3 } END { print most + 0, rows + 0 }' "$batches" 2>/dev/null)
expect "every batch's oldest row was at most $limit s old at the broker (at most $oldest s)" \
  awk -v age="$oldest" -v limit="$limit" 'BEGIN { exit !(age > 0 && age <= limit) }'
expect "every batch message was at most 128 KiB (largest $largest bytes, $largest_rows rows)" \
  test "${largest:-0}" -gt 0 -a "${largest:-0}" -le 131072

# Figures. A pause between stored rows: no read phase ran meanwhile.
during=$(awk -v t1="$t1" '$1 <= t1 + 1 { n += $3 } END { print n + 0 }' "$batches" 2>/dev/null)
awk -v stored="${stored:-0}" -v during="$during" -v span=$((t1 - t0 + 1)) 'NR == FNR {
    if (FNR > 1 && $4 - newest > pause) pause = $4 - newest; newest = $5; n++; next }
  $2 > queue { queue = $2 }
  END { printf "  figures: %.1f rows/s stored, %.1f rows/s uploaded during the play, %d batches, " \
               "longest pause between stored rows %d s, fullest HCI queue sampled %d bytes\n",
               stored / span, during / span, n, pause, queue }' "$batches" "$results/hci_queue.txt"
echo "  settings: SR_S1 $sr, SP_BT4_SD $sd, PR_S1 $pr, max_rows_upload_S1 $max_rows" \
  "(at most $(( ${max_rows:-0} / ${pr:-1} )) rows/s uploaded); controller sent $sent reports"
echo "  table rows, highest sample of every 20 s: $(awk -v t0="$t0" '$2 != "" && $1 >= t0 {
    b = int(($1 - t0) / 20); if ($2 > most[b]) most[b] = $2; if (b > last) last = b }
  END { for (b = 0; b <= last; b++) printf "%d ", most[b] }' "$results/table_rows.txt" 2>/dev/null)"
finish
