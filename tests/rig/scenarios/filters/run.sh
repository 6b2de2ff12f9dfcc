# The gateway with every filter and smoothing on, against the dozen
# advertisers of controller.scn; the broker is up from the start.
rig_controller_start || exit 1
rig_broker_start || exit 1
rig_subscribe
rig_gateway_start || exit 1
# Long enough for the first raw window (21 s), the first smoothing window
# (30 s) and the batches after them, whichever cycle first saw the broker.
sleep 35
# The advertisers went quiet after their first seconds: what the gateway
# does at rest over the last 10 s (scan cycles, statistics, pings, posts).
rig_wakeups gateway
sleep 10
rig_wakeups gateway
rig_export_stats
rig_export_db
rig_gateway_stop
cp /etc/config/tobixlite_config "$RIG_OUT/"
