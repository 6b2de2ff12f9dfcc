# The gateway as the board runs it, at a busy site (controller.scn): the
# supervising parent starts status_led and sensor_handler on the shipped
# settings, changed only where the board in a box needs it (the broker at
# the one address qemu forwards, in plain TCP; the virtual controller is
# hci0 already, a USB dongle). 30 s at rest, then 60 s of 250 reports a
# second, then up to 30 s for the last rows to go.
#
# What is measured, every 2 s of guest time, in samples.txt:
#   <uptime ms> <sensor_handler utime> <stime> (clock ticks) <VmRSS kB>
#   <VmHWM kB> <MemAvailable kB> </tmp used kB> <rows stored so far>
# and at "rest" and "quiet" (the quiet start's ends), "play" (the first
# rows stored) and "end" (the play over), in snapshot-<name>.txt: the board's CPU times, every
# process's and each of sensor_handler's threads' utime and stime, its
# context switches and the kernel's count of floating-point instructions it
# emulated (none for a soft-float program).
rig_shipped_config 10.0.2.100 || exit 1

# The board has no LED line: status_led finds line 3 on a tmpfs.
gpio=/sys/class/gpio
mount -t tmpfs gpio "$gpio" || { echo "cannot mount a tmpfs on $gpio"; exit 1; }
mkdir "$gpio/gpio3"
: > "$gpio/export"; : > "$gpio/unexport"
: > "$gpio/gpio3/direction"; : > "$gpio/gpio3/active_low"; : > "$gpio/gpio3/value"

rig_controller_start || exit 1
tobixlite_supervisor > "$RIG_OUT/gateway.out" 2>&1 &
rig_track parent $!
rig_wait_for 20 pidof sensor_handler || { echo "sensor_handler did not start"; exit 1; }
gateway=$(pidof sensor_handler)
rig_wait_scanning 30 || exit 1
scanning=$(uptime_ms)
rig_log "scanning"

# Nothing here uses awk: BusyBox's is hard-float, and its floating point,
# emulated by the kernel, would be counted with the gateway's.
stored() { sed -n 's/.*"L3":{"in": [0-9]*, "out": \([0-9]*\).*/\1/p' /tmp/tobixlite_stats 2>/dev/null; }
field() {  # field FILE KEY: the number after KEY in a /proc "Key: value" file
  local key value _
  while read -r key value _; do [ "$key" = "$2" ] && { echo "$value"; return; }; done < "$1"
}
cpu_times() {  # cpu_times STATFILE: its utime and stime
  local line
  read -r line < "$1" || return
  set -- $line
  echo "${14} ${15}"
}
(
  while :; do
    set -- $(df -k /tmp | tail -1)
    echo "$(uptime_ms) $(cpu_times /proc/"$gateway"/stat) $(field /proc/"$gateway"/status VmRSS:)" \
      "$(field /proc/"$gateway"/status VmHWM:) $(field /proc/meminfo MemAvailable:) $3 $(stored)" \
      >> "$RIG_OUT/samples.txt"
    sleep 2
  done
) &
rig_track sampler $!

snapshot() {
  local file line voluntary=0 involuntary=0
  {
    echo "uptime_ms $(uptime_ms)"
    echo "fpu_emulated $(cat /sys/kernel/debug/mips/fpuemustats/emulated 2>/dev/null)"
    echo "stored $(stored)"
    echo "gateway $(cpu_times /proc/"$gateway"/stat)"
    head -1 /proc/stat
    for file in /proc/"$gateway"/task/*/status; do
      voluntary=$(( voluntary + $(field "$file" voluntary_ctxt_switches:) ))
      involuntary=$(( involuntary + $(field "$file" nonvoluntary_ctxt_switches:) ))
    done
    echo "switches $voluntary $involuntary"
    for file in /proc/[0-9]*/stat; do
      read -r line < "$file" 2>/dev/null || continue
      set -- $line
      echo "process $1 $2 ${14} ${15}"
    done
    for file in /proc/"$gateway"/task/*/stat; do
      read -r line < "$file" 2>/dev/null || continue
      set -- $line
      echo "thread $1 ${14} ${15}"
    done
  } > "$RIG_OUT/snapshot-$1.txt"
}

# At rest: from 10 s to 28 s after the scan started (the play starts at 30 s).
sleep 10
snapshot rest
sleep 18
snapshot quiet
until [ "$(stored)" -gt 0 ] 2>/dev/null; do
  [ $(( $(uptime_ms) - scanning )) -gt 60000 ] && { echo "no report stored"; break; }
  sleep 0.2
done
snapshot play
rig_log "play"
# The play lasts 60 s; measured over 58 s, inside it.
sleep 58
snapshot end
rig_log "play over"
# The last report's row uploaded: nothing stored for two posting periods
# and a sensing period, which the gateway needs to upload what it holds.
sleep 30
rig_export_stats
rig_stop sampler
kill -TERM "$(rig_pid parent)"
rig_wait_for 10 sh -c '! pidof sensor_handler' && rig_log "parent stopped the gateway"
