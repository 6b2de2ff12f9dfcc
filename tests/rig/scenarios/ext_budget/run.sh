# Past the end of the second raw window (78 s), so its rates are in the
# statistics file and the Pings.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
sleep 90
rig_export_stats
rig_export_db
rig_gateway_stop
