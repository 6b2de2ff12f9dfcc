# The beacons play from 5 s to 15 s after the first scan enable. The gateway
# is then stopped and started again as a new process before the last batches
# are out: what the first process uploaded must not go out a second time,
# what it stored and did not upload goes out from the second.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
rig_wait_scanning 10 || exit 1
sleep 16
rig_export_stats
rig_gateway_stop
cp "$RIG_OUT/gateway.status" "$RIG_OUT/first_gateway.status"
rig_gateway_start || exit 1
sleep 8
rig_export_db
rig_gateway_stop
