#!/usr/bin/env bash
# Advertisements that queued on the socket while the broker was down are
# dropped: none of the ghost beacon's reports is stored after the reconnect.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../check_lib.sh"

expect "the ghost advertised while scanning was on (sent 60)" \
  grep -q '^advertiser .*name=ghost sent=60 missed=0' "$results/controller.log"
ghost=$(batch_rows raw_beacons_data | grep -c '^C00000000066')
steady=$(batch_rows raw_beacons_data | grep -c '^C00000000010')
delay=$(upload_delay "$(value field.txt epoch)")
expect "the steady beacon's rows were uploaded ($steady), also after the reconnect (${delay:-never} s)" \
  bash -c "[ '$steady' -ge 10 ] && [ -n '$delay' ]"
expect "none of the ghost's advertisements was uploaded ($ghost rows)" test "$ghost" = 0
expect "none is left in the table" bash -c "! grep -q ' C00000000066' '$results/table.txt'"
expect "SIGTERM ended the gateway with status 0" grep -qx 'exit=0' "$results/gateway.status"
finish
