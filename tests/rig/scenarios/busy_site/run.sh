# The gateway on the shipped settings at a busy site (controller.scn). Each
# batch is reduced as it arrives to one line ("<arrival> <bytes> <rows>
# <oldest row time> <newest row time>" in batches.txt) and its report
# numbers (numbers.txt): 200 s of whole batches would be 17 MB of console.
# Every 2 s or so the table's row count is sampled ("<epoch> <rows>" in
# table_rows.txt, no rows when the copy was not whole) and the bytes
# waiting in the HCI socket's receive queue (hci_queue.txt): near the
# queue's limit the kernel drops reports before the gateway reads them.
# After the play the gateway has 30 s to upload what it stored.

# The shipped tobixlite_config (the rig lays files/etc/config over /etc),
# changed only where the VM needs it: broker set 3 at 127.0.0.1, where the
# VM's own broker listens in plain TCP on 1883, instead of the maker's
# broker over TLS; and a USB dongle (en_usb_s1), as the VM has no UART
# module to reset and attach. Sensing, listening, posting, batch and storage settings stay as
# shipped: they are what this scenario is about.
rig_shipped_config 127.0.0.1 || exit 1

rig_controller_start || exit 1
rig_broker_start || exit 1
mosquitto_sub -h 127.0.0.1 -p "$RIG_BROKER_PORT" -t /Tobix/Beacons -F '%U %l %p' 2>> "$RIG_OUT/subscriber.err" |
  awk -v numbers="$RIG_OUT/numbers.txt" '
    function hex(text,   i, v) {
      v = 0
      for (i = 1; i <= length(text); i++) v = v * 16 + index("0123456789ABCDEF", substr(text, i, 1)) - 1
      return v
    }
    {
      n = split($0, parts, /[";]/)
      rows = 0; oldest = 0; newest = 0
      for (i = 1; i <= n; i++) {
        if (parts[i] !~ /^[0-9A-F]+$/ || length(parts[i]) <= 16) continue
        l = length(parts[i])
        t = hex(substr(parts[i], l - 7))
        if (rows++ == 0 || t < oldest) oldest = t
        if (t > newest) newest = t
        if (parts[i] ~ /07FFFFFF[0-9A-F]+$/) print substr(parts[i], l - 15, 8) >> numbers
      }
      close(numbers)
      printf "%s %s %d %d %d\n", $1, $2, rows, oldest, newest
      fflush()
    }' >> "$RIG_OUT/batches.txt" &
rig_track subscriber $!
sleep 1
rig_gateway_start || exit 1
rig_wait_scanning 30 || exit 1
start=$(uptime_ms)
rig_log "scanning"

# The row count comes from a copy: the gateway alone opens its database, as
# on the device. An SQLite reader beside it takes the log's locks for
# instants, and an insert that meets one waits for it, which would change
# the very timing measured here. The copy (the file, then the log) is whole
# when the log kept its salt meanwhile: every page a checkpoint wrote into
# the file while it was copied is also in the log copied after it.
table_rows() {
  rm -f /tmp/copy.db /tmp/copy.db-wal /tmp/copy.db-shm
  dd if="$RIG_DB-wal" of=/tmp/copy.salt bs=8 skip=2 count=1 2>/dev/null &&
    cp "$RIG_DB" /tmp/copy.db && cp "$RIG_DB-wal" /tmp/copy.db-wal &&
    dd if=/tmp/copy.db-wal bs=8 skip=2 count=1 2>/dev/null | cmp -s - /tmp/copy.salt &&
    sqlite3 /tmp/copy.db 'SELECT COUNT(*) FROM BLE;' 2>/dev/null
}
(
  while :; do
    echo "$(date +%s) $(table_rows)" >> "$RIG_OUT/table_rows.txt"
    echo "$(date +%s) $(awk 'NR > 1 && $3 > most { most = $3 } END { print most + 0 }' /proc/net/hci)" \
      >> "$RIG_OUT/hci_queue.txt"
    sleep 2
  done
) &
rig_track sampler $!

# The play lasts 200 s from the first scan enable.
left=$(( start + 201000 - $(uptime_ms) ))
[ "$left" -gt 0 ] && sleep $(( left / 1000 ))
rig_log "play over"
# Drained: the last report played was uploaded, and every row stored.
last=$(printf '%08X' $(( $(sed -n 's/^advertiser .* count=\([0-9]*\) .*/\1/p' controller.scn) - 1 )))
stored() { sed -n 's/.*"L3":{"in": [0-9]*, "out": \([0-9]*\).*/\1/p' /tmp/tobixlite_stats; }
uploaded() { awk '{ n += $3 } END { print n + 0 }' "$RIG_OUT/batches.txt"; }
drained() { [ "$(tail -1 "$RIG_OUT/numbers.txt")" = "$last" ] && [ "$(stored)" = "$(uploaded)" ]; }
rig_wait_for 30 drained
rig_log "drained: stored $(stored), uploaded $(uploaded)"
rig_export_stats
rig_stop sampler
rig_gateway_stop
