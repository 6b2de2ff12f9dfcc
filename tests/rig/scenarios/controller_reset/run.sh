# Uploads run, then someone resets the controller while hci0 stays
# registered: LE scanning is off and the socket stays open. The gateway
# sets its scan up again after a minute without advertising.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
rig_wait_for 20 rig_uploads_above 0 || exit 1
hciconfig hci0 reset
echo "reset_status=$? epoch=$(date +%s)" >> "$RIG_OUT/field.txt"
rig_log "hci0 reset"
reset_at=$(rig_uploads)
# The reset may leave a batch or two of rows read before it.
rig_wait_for 90 rig_uploads_above $((reset_at + 3))
rig_gateway_stop
