# Uploads run, the dongle is pulled out for 3 s and plugged in again: the
# gateway notices, brings hci0 up again and uploads resume, the service
# never ending.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
rig_wait_for 20 rig_uploads_above 0 || exit 1
rig_controller_unplug || exit 1
sleep 3
rig_controller_replug || exit 1
replugged_at=$(rig_uploads)
rig_wait_for 30 rig_uploads_above $((replugged_at + 2))
sleep 4
rig_gateway_stop
