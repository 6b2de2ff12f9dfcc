# The controller comes up, hciconfig brings hci0 up, and the probe reads
# every report through a raw HCI socket with the gateway's filter.
rig_controller_start || exit 1
hciconfig hci0 up
echo "up_status=$?" > "$RIG_OUT/hciconfig.txt"
rig_log "hci0 up"
hciconfig hci0 >> "$RIG_OUT/hciconfig.txt" 2>&1
hci_probe 10 > /tmp/probe.txt 2>&1
echo "probe_status=$?" >> "$RIG_OUT/hciconfig.txt"
rig_log "probe done"
# The burst's 5,000 lines stay in the VM; its count is in the summary.
grep -v 'address=D00000' /tmp/probe.txt > "$RIG_OUT/probe.txt"
