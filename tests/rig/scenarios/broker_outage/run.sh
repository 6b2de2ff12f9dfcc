# The broker goes down 8 s after the scan starts and comes back at 24 s;
# the ghost beacon advertised in between. After the reconnect none of its
# advertisements is stored or uploaded.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
rig_wait_scanning 10 || exit 1
sleep 8
rig_stop broker
sleep 16
rig_broker_start || exit 1
echo "broker_back epoch=$(date +%s)" >> "$RIG_OUT/field.txt"
back_at=$(rig_uploads)
rig_wait_for 30 rig_uploads_above $((back_at + 3))
rig_export_db
rig_gateway_stop
