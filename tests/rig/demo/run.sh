# The live demo inside the rig's VM (started by scripts/demo): the dozen
# advertisers of controller.scn, mosquitto, and the gateway as a device runs
# it: the supervising parent (copied here by scripts/demo), which starts the
# real status_led on a fake GPIO line and sensor_handler with the shipped
# configuration pointed at this VM. Everything the host shows comes over the
# console as lines "===DEMO-<KIND> ...", written with one write each so they never mix:
#   MQTT <topic> <payload>     every message the broker passes on
#   LED <uptime s> <0|1>       every write of status_led to its LED line
#   GW <line>                  what the parent and its two programs print
#   NOTE <text>                what this script does
# ./seconds holds how long the gateway runs (written by scripts/demo).
demo_note() { echo "===DEMO-NOTE $*" > /dev/console; }

seconds=$(cat ./seconds 2>/dev/null || echo 120)

# The shipped defaults, changed only where this VM or the demo's pace
# needs it. set_option FILE KEY VALUE rewrites "option KEY '…'" in
# /etc/config/FILE.
set_option() {
  grep -q "^[[:space:]]*option $2 " "/etc/config/$1" || { demo_note "no option $2 in $1"; return 1; }
  sed -i "s/^\([[:space:]]*option $2 \).*/\1'$3'/" "/etc/config/$1"
  demo_note "config $1 $2='$3'"
}
# The factory broker sets point outside; set 3 takes the address below.
set_option tobixlite_config server 3
set_option tobixlite_config mqtt_server_addr 127.0.0.1
# The VM's own broker listens in plain TCP on 127.0.0.1.
set_option tobixlite_config mqtt_tls 0
set_option tobixlite_config mqtt_server_port 1883
# The virtual controller is hci0 already: no UART module to reset and attach.
set_option tobixlite_config en_usb_s1 1
# A Ping every 15 s instead of every minute, and smoothed rows beside the
# raw ones.
set_option tobixlite_config LHI_RATE 15
set_option tobixlite_smoothing_filter smoothing_filter 1
cp /etc/config/tobixlite_config /etc/config/tobixlite_smoothing_filter "$RIG_OUT/"

# LED line 3 as status_led finds it on the board, but on a tmpfs: its value
# is a FIFO, held open read-write here so the daemon's writes never block
# and the reader never sees end of file.
gpio=/sys/class/gpio
mkdir -p "$gpio" 2>/dev/null
mount -t tmpfs gpio "$gpio" || { demo_note "cannot mount a tmpfs on $gpio"; exit 1; }
mkdir "$gpio/gpio3"
: > "$gpio/export"; : > "$gpio/unexport"
: > "$gpio/gpio3/direction"; : > "$gpio/gpio3/active_low"
mkfifo "$gpio/gpio3/value"
(
  exec 3<> "$gpio/gpio3/value"
  while read -r -n 1 value <&3; do
    read -r now rest < /proc/uptime
    echo "===DEMO-LED $now $value" > /dev/console
  done
) &
rig_track led_reader $!

rig_controller_start || { demo_note "the virtual controller did not come up"; exit 1; }
rig_broker_start || { demo_note "the broker did not come up"; exit 1; }
rig_subscribe
mosquitto_sub -h 127.0.0.1 -p "$RIG_BROKER_PORT" -t '#' -F '===DEMO-MQTT %t %p' \
  > /dev/console 2>> "$RIG_OUT/subscriber.err" &
rig_track live_subscriber $!
sleep 1

# The gateway's lines reach the console through tail; its own file stays
# whole for the results.
: > "$RIG_OUT/gateway.out"
# Its lines end in "\n\r": the carriage return is dropped, and the loop
# reads no line ahead (sed would hold each line until the next one came).
mkfifo /tmp/gateway.fifo
(
  cr=$(printf '\r')
  while IFS= read -r line; do
    line=${line#"$cr"}
    line=${line%"$cr"}
    [ -n "$line" ] && echo "===DEMO-GW $line" > /dev/console
  done < /tmp/gateway.fifo
) &
rig_track gateway_lines $!
tail -n +1 -f "$RIG_OUT/gateway.out" > /tmp/gateway.fifo &
rig_track gateway_tail $!
# The parent finds the two programs beside it, as in /usr/bin on a device.
cp ./tobixlite_supervisor /rig/bin/ || { demo_note "the supervising parent is missing"; exit 1; }
/rig/bin/tobixlite_supervisor > "$RIG_OUT/gateway.out" 2>&1 &
rig_track gateway $!
rig_log "gateway started"
demo_note "gateway started for ${seconds}s under its supervising parent (PID $(rig_pid gateway))"

sleep "$seconds"
rig_export_stats
demo_note "time is up: SIGTERM to the parent, which stops both programs"
rig_gateway_stop
demo_note "the parent ended with $(cat "$RIG_OUT/gateway.status")"
sleep 5
