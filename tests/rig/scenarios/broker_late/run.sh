# No broker for the first 30 s, then one. While it is absent the gateway
# reads no advertisements and empties the table each sensing period; once
# it is up the uploads begin.
rig_controller_start || exit 1
rig_gateway_start || exit 1
sample=0
while [ $sample -lt 15 ]; do
  sleep 2
  echo "$(uptime_ms) rows=$(sqlite3 "$RIG_DB" 'SELECT COUNT(*) FROM BLE;' 2>/dev/null)" >> "$RIG_OUT/absent_rows.txt"
  sample=$((sample + 1))
done
cp /tmp/tobixlite_stats "$RIG_OUT/absent_stats.txt" 2>/dev/null
rig_broker_start || exit 1
rig_subscribe
sleep 30
cp /etc/config/tobixlite_config "$RIG_OUT/tobixlite_config.connected"
rig_export_stats
rig_export_db
rig_gateway_stop
