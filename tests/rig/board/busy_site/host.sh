#!/usr/bin/env bash
# On this machine, beside the board: every batch message reduced as it
# arrives (no stage buffering, so that none waits in a buffer when the
# board stops) to one line of batches.txt ("<arrival> <bytes> <rows>", the
# arrival in this machine's time) and its report
# numbers (numbers.txt, 8 hexadecimal digits each).
out=$1 port=$2
# mawk reads its input in blocks unless told otherwise.
interactive=()
awk -W version 2>&1 | grep -q mawk && interactive=(-W interactive)
stdbuf -oL mosquitto_sub -h 127.0.0.1 -p "$port" -t /Tobix/Beacons -F '%U %l %p' |
  awk "${interactive[@]}" -v numbers="$out/numbers.txt" '{
      n = split($0, parts, /[";]/)
      rows = 0
      for (i = 1; i <= n; i++) {
        if (parts[i] !~ /^[0-9A-F]+$/ || length(parts[i]) <= 16) continue
        rows++
        if (parts[i] ~ /07FFFFFF[0-9A-F]+$/) print substr(parts[i], length(parts[i]) - 15, 8) >> numbers
      }
      close(numbers)
      printf "%s %s %d\n", $1, $2, rows
      fflush()
    }' >> "$out/batches.txt"
