# Uploads run, then the dongle is pulled out for good: the gateway backs
# off until its retries run out and ends by itself with status 3.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
rig_wait_for 20 rig_uploads_above 0 || exit 1
rig_controller_unplug || exit 1
rig_gateway_wait_exit 60
