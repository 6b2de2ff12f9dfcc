# Helpers for a scenario's run.sh inside the rig's VM (BusyBox ash).
# Everything a scenario starts is recorded in /run/rig.pids ("name pid"),
# so init stops what is left (newest first, the controller last) before it
# hands /rig/out to the host. Facts the check needs go to /rig/out; the
# timeline of the scenario to /rig/out/events.txt ("<uptime ms> <what>").
RIG_OUT=/rig/out
RIG_DB=/tmp/tobix_ble.db
RIG_BROKER_PORT=1883

# Integer arithmetic only: on the emulated board (no FPU) awk's floating
# point would be emulated by the kernel and counted with the gateway's.
uptime_ms() {
  local up hundredths
  read -r up _ < /proc/uptime
  hundredths=${up#*.}
  echo $(( ${up%.*} * 1000 + ${hundredths#0} * 10 ))
}
rig_log() { echo "$(uptime_ms) $*" >> "$RIG_OUT/events.txt"; }

rig_track() { echo "$1 $2" >> /run/rig.pids; }
rig_pid() { awk -v name="$1" '$1 == name { pid = $2 } END { print pid }' /run/rig.pids 2>/dev/null; }
# A process that ended but was not reaped (its parent shell is gone) is no
# longer alive.
rig_alive() { [ -n "$1" ] && [ -r "/proc/$1/stat" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }

# rig_wait_for SECONDS COMMAND...: true once COMMAND succeeds, polled every 0.2 s.
rig_wait_for() {
  local limit=$(( $1 * 5 ))
  shift
  while [ "$limit" -gt 0 ]; do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
    limit=$((limit - 1))
  done
  return 1
}

# rig_stop NAME [SIGNAL]: ends a recorded process, SIGKILL after 10 s.
rig_stop() {
  local pid
  pid=$(rig_pid "$1")
  rig_alive "$pid" || return 0
  kill "-${2:-TERM}" "$pid" 2>/dev/null
  rig_wait_for 10 sh -c "! grep -q '^[0-9]* (.*) [^Z]' /proc/$pid/stat" ||
    { kill -KILL "$pid" 2>/dev/null; rig_log "killed $1"; }
  rig_log "stopped $1"
}

rig_stop_all() {
  [ -f /run/rig.pids ] || return 0
  for name in $(awk '{ print $1 }' /run/rig.pids | sed '1!G;h;$!d'); do
    [ "$name" = controller ] || rig_stop "$name"
  done
  rig_stop controller
}

# rig_controller_start [SCENARIO FILE]: the virtual controller with its
# log in /rig/out/controller.log; returns once the kernel registered hci0.
rig_controller_start() {
  virtual_controller "${1:-controller.scn}" "$RIG_OUT/controller.log" > /tmp/controller.out 2>&1 &
  rig_track controller $!
  rig_wait_for 10 grep -q ready /tmp/controller.out || { cat /tmp/controller.out; return 1; }
  rig_wait_for 10 test -e /sys/class/bluetooth/hci0 || return 1
  rig_log "controller ready"
}

# rig_shipped_config ADDRESS: the shipped tobixlite_config pointed at a
# broker at ADDRESS on 1883 in plain TCP (broker set 3), with a USB dongle
# (en_usb_s1: the rig has no UART to reset and attach); every other
# setting as shipped. False, with a line, if the shipped file no longer has
# one of those options; the file as run goes to /rig/out.
rig_shipped_config() {
  local config=/etc/config/tobixlite_config line
  sed -i -e "s/option server '1'$/option server '3'/" \
    -e "s/option mqtt_server_addr '[^']*'$/option mqtt_server_addr '$1'/" \
    -e "s/option mqtt_server_port '[0-9]*'$/option mqtt_server_port '1883'/" \
    -e "s/option mqtt_tls '1'$/option mqtt_tls '0'/" \
    -e "s/option en_usb_s1 '0'$/option en_usb_s1 '1'/" "$config"
  for line in "server '3'" "mqtt_server_addr '$1'" "mqtt_server_port '1883'" "mqtt_tls '0'" \
    "en_usb_s1 '1'"; do
    grep -q "^	option $line\$" "$config" || { echo "shipped $config: cannot set $line"; return 1; }
  done
  cp "$config" "$RIG_OUT/tobixlite_config"
}

# rig_broker_start: mosquitto on 127.0.0.1:1883, returns once it accepts.
rig_broker_start() {
  cat > /tmp/mosquitto.conf <<CONF
listener $RIG_BROKER_PORT 127.0.0.1
allow_anonymous true
persistence false
user root
log_dest file $RIG_OUT/broker.log
CONF
  mosquitto -c /tmp/mosquitto.conf > /dev/null 2>&1 &
  rig_track broker $!
  rig_wait_for 10 mosquitto_pub -h 127.0.0.1 -p "$RIG_BROKER_PORT" -t rig/probe -m up || return 1
  rig_log "broker up"
}

# rig_subscribe: every message on every topic, one line each:
# "<unix time with ns> <topic> <payload>" in /rig/out/messages.txt. It
# reconnects by itself when the broker comes back.
rig_subscribe() {
  mosquitto_sub -h 127.0.0.1 -p "$RIG_BROKER_PORT" -t '#' -F '%U %t %p' \
    >> "$RIG_OUT/messages.txt" 2>> "$RIG_OUT/subscriber.err" &
  rig_track subscriber $!
  sleep 1
}

# rig_gateway_start: sensor_handler with signal recorders standing in for
# its parent and for status_led (/rig/out/parent.log, /rig/out/status.log);
# its output in /rig/out/gateway.out.
rig_gateway_start() {
  local who
  for who in parent status; do
    signal_recorder "$RIG_OUT/$who.log" > "/tmp/$who.out" 2>&1 &
    rig_track "$who" $!
    rig_wait_for 10 grep -q ready "/tmp/$who.out" || return 1
  done
  sensor_handler "$(rig_pid parent)" "$(rig_pid status)" > "$RIG_OUT/gateway.out" 2>&1 &
  rig_track gateway $!
  rig_log "gateway started"
}

# rig_gateway_wait_exit SECONDS: waits for the gateway to end by itself and
# writes "exit=N" (or "running") to /rig/out/gateway.status. Call it from
# the shell that started the gateway.
rig_gateway_wait_exit() {
  local pid
  pid=$(rig_pid gateway)
  if rig_wait_for "$1" sh -c "! grep -q '^[0-9]* (.*) [^Z]' /proc/$pid/stat"; then
    wait "$pid"
    echo "exit=$?" > "$RIG_OUT/gateway.status"
    rig_log "gateway exited"
  else
    echo running > "$RIG_OUT/gateway.status"
  fi
}

# rig_gateway_stop: SIGTERM (the parent's stop) and the exit status as above.
rig_gateway_stop() {
  kill -TERM "$(rig_pid gateway)" 2>/dev/null
  rig_log "gateway sent SIGTERM"
  rig_gateway_wait_exit 20
}

# rig_export_db: the beacon table as text, in DBID order.
rig_export_db() {
  [ -f "$RIG_DB" ] || return 0
  sqlite3 -separator ' ' "$RIG_DB" \
    'SELECT DBID, DT, IFNULL(PAYLOAD, "-"), IFNULL(PAYLOAD2, "-") FROM BLE ORDER BY DBID;' \
    > "$RIG_OUT/table.txt" 2>> "$RIG_OUT/table.err"
  sqlite3 "$RIG_DB" 'SELECT seq FROM sqlite_sequence WHERE name = "BLE";' \
    > "$RIG_OUT/sequence.txt" 2>> "$RIG_OUT/table.err"
}

# rig_export_stats: the statistics file as it stands.
rig_export_stats() { cp /tmp/tobixlite_stats "$RIG_OUT/stats.txt" 2>/dev/null || true; }

# rig_wakeups NAME: "<uptime ms> <context switches>" of every thread of a
# recorded process so far, appended to /rig/out/wakeups.txt; two samples
# give its wakeups per second in between.
rig_wakeups() {
  local pid
  pid=$(rig_pid "$1")
  rig_alive "$pid" || return 0
  echo "$(uptime_ms) $(cat /proc/"$pid"/task/*/status 2>/dev/null |
    awk '/ctxt_switches/ { total += $2 } END { print total + 0 }')" >> "$RIG_OUT/wakeups.txt"
}

# rig_controller_unplug / rig_controller_replug: the dongle pulled out (the
# controller closes /dev/vhci and the kernel unregisters hci0) and plugged
# in again (hci0 registered anew). Each logs the wall-clock second it
# happened at as "<what> epoch=<s>" in /rig/out/field.txt for the check.
rig_controller_unplug() {
  kill -USR1 "$(rig_pid controller)"
  rig_wait_for 10 sh -c '! test -e /sys/class/bluetooth/hci0' || return 1
  echo "unplugged epoch=$(date +%s)" >> "$RIG_OUT/field.txt"
  rig_log "controller unplugged"
}
rig_controller_replug() {
  kill -USR2 "$(rig_pid controller)"
  rig_wait_for 10 test -e /sys/class/bluetooth/hci0 || return 1
  echo "replugged epoch=$(date +%s)" >> "$RIG_OUT/field.txt"
  rig_log "controller replugged"
}

# rig_wait_scanning SECONDS: true once the controller has accepted a scan
# enable of either command set (the advertisers' clock has started).
rig_wait_scanning() {
  rig_wait_for "$1" grep -Eq '^(ext_)?scan_enable .* enable=1 .*status=0x00' "$RIG_OUT/controller.log"
}

# rig_uploads: how many batch messages the broker has seen so far.
rig_uploads() { awk '$2 == "/Tobix/Beacons" { n++ } END { print n + 0 }' "$RIG_OUT/messages.txt" 2>/dev/null; }
rig_uploads_above() { [ "$(rig_uploads)" -gt "$1" ]; }
