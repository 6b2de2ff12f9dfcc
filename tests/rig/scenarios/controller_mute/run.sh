# The gateway backs off three times, gives up with a sensor failure and
# ends by itself with status 3.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
rig_gateway_wait_exit 150
