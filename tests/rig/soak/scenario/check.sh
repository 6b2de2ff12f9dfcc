#!/usr/bin/env bash
# The soak's accounting: every steady report played while the gateway could
# take it was uploaded, none twice; the longest time without an upload while
# the broker was up; sensor_handler's memory, descriptors and threads; and
# how much of the real-traffic corpus played beside them (its events carry
# no number, so they are load and only counted).
results=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

get() { sed -n "s/.*\<$1=\([0-9]*\).*/\1/p" "$results/soak.txt" | head -1; }
expected=$(get steady_expected) found=$(get steady_expected_uploaded)
expect "every steady report played while the gateway could take it was uploaded ($found of $expected)" \
  test "${expected:-0}" -gt 0 -a "${found:-x}" = "${expected:-y}"
expect "no row uploaded twice ($(get rows_repeated) repeated of $(get rows_uploaded))" test "$(get rows_repeated)" = 0

# Gaps between batch arrivals, leaving out those that overlap a broker
# outage (with the 15 s the reconnect and the first batch may take).
gap=$(awk 'NR == FNR { if ($1 == "broker_down") d[++n] = $2; if ($1 == "broker_up") u[n] = $2 + 15; next }
  { if (prev != "") { g = $1 - prev; skip = 0
      for (i = 1; i <= n; i++) if (prev < u[i] && $1 > d[i]) skip = 1
      if (!skip && g > worst) { worst = g; at = prev } }
    prev = $1 }
  END { printf "%.1f", worst }' "$results/outages.txt" <(sort -n "$results/batch_times.txt"))
expect "uploads never paused longer than 90 s while the broker was up (longest ${gap} s)" \
  awk -v g="$gap" -v n="$(grep -c . "$results/batch_times.txt" 2>/dev/null)" 'BEGIN { exit !(n > 1 && g <= 90) }'
expect "the parent ended with status 0 after SIGTERM" grep -qx 'exit=0' "$results/gateway.status"

echo "  bursts (1,250 reports a second, beyond the emulated board): $(get steady_in_bursts_expected_uploaded)" \
  "of $(get steady_in_bursts_expected) steady reports uploaded (not checked)"
if [ -n "$(get corpus_sent)" ]; then
  echo "  corpus: $(get corpus_sent) real events played, $(get corpus_missed) lost while not scanning," \
    "$(get corpus_rows_uploaded) unnumbered rows uploaded (load: not accounted one by one)"
else
  echo "  corpus: none played (no corpus file)"
fi
echo "  figures: $(tr '\n' ' ' < "$results/soak.txt")"
awk '{ if ($2 > most) most = $2; n++ } END { printf "  HCI receive queue: %d samples, fullest %d bytes\n", n, most }' \
  "$results/hci_queue.txt" 2>/dev/null
# Resource samples: "<uptime ms> <pid> <RSS kB> <descriptors> <threads>".
awk 'NR == 1 { t0 = $1 }
  ($1 - t0) >= 600000 && !base { base = $3; bt = $1 }
  { last = $3; lt = $1; fds[$4]++; threads[$5]++; if ($3 > peak) peak = $3 }
  END {
    printf "  resources: %d samples; RSS first %s kB, peak %s kB, last %s kB", NR, first, peak, last
    if (base && lt > bt) printf "; after the first 10 min %+.0f kB per hour", (last - base) * 3600000 / (lt - bt)
    printf "\n  descriptors:"; for (f in fds) printf " %s (%d samples)", f, fds[f]
    printf "\n  threads:"; for (t in threads) printf " %s (%d samples)", t, threads[t]
    printf "\n"
  }
  NR == 1 { first = $3 }' "$results/resources.txt" 2>/dev/null
finish
