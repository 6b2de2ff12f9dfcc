# The beacons play from 5 s to 15 s after the first scan enable; the last
# batches are out a few seconds later.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
rig_wait_scanning 10 || exit 1
sleep 22
rig_export_stats
rig_export_db
rig_gateway_stop
