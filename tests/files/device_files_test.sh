#!/bin/sh
# What goes onto the device: every shell file parses, the init script
# declares the instance procd should run, and `cmake --install` lays out
# exactly the files, with the modes, of the package's install section.
#   device_files_test.sh <source dir> <build dir> <cmake>
source_dir=$1 build_dir=$2 cmake=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for file in "$source_dir"/files/usr/bin/* "$source_dir"/files/etc/init.d/* "$source_dir"/files/etc/hotplug.d/*/* \
	"$source_dir"/scripts/* "$source_dir"/tests/files/*.sh; do
	case $(head -n1 "$file") in
	*bash*) bash -n "$file" || fail "bash -n $file" ;;
	'#!/bin/sh'*) sh -n "$file" || fail "sh -n $file" ;;
	esac
done

# procd's shell helpers, standing in: each call is recorded as one line.
# The settings are copies of the shipped files in a folder of the test's.
settings=$build_dir/device-files-test-settings
rm -rf "$settings" && mkdir -p "$settings/config" && cp "$source_dir"/files/etc/config/* "$settings/config/"
declared=$(
	procd_open_instance() { echo "open $*"; }
	procd_set_param() { echo "param $*"; }
	procd_close_instance() { echo "close"; }
	procd_add_reload_trigger() { echo "reload trigger $*"; }
	procd_send_signal() { echo "signal $*"; }
	pidof() { [ "$1" = bluetoothd ]; }
	logger() { echo "logger $*"; }
	. "$source_dir/files/etc/init.d/tobixlite"
	CONFIG_DIR=$settings/config BROKER_SETS=$source_dir/files/etc/tobixlite_config2
	SETTINGS_DIGEST=$settings/run/digest
	echo "START=$START USE_PROCD=$USE_PROCD"
	start_service
	service_triggers
	# The gateway's link changes alone, then a setting, then nothing new.
	for edit in "s/^\(.option mqtt_status\).*/\1 '1'/" "s/^\(.option\) mqtt_status .*/\1 'mqtt_status' '0' # x/" \
		"s/^\(.option LHI_RATE\).*/\1 '30'/" ""; do
		echo "reload: $edit"
		sed -i "$edit" "$CONFIG_DIR/tobixlite_config"
		reload_service
	done
)
expected="START=95 USE_PROCD=1
logger -t tobixlite -p daemon.warn bluetoothd is running: stop and disable it, the gateway must scan hci0 alone
open 
param command /usr/bin/tobixlite_supervisor
param respawn 3600 5 0
param stdout 1
param stderr 1
param term_timeout 30
param data settings=<digest>
close
reload trigger tobixlite_config tobixlite_rssi_filter tobixlite_uuid_filter tobixlite_mac_filter tobixlite_smoothing_filter
reload: s/^\(.option mqtt_status\).*/\1 '1'/
reload: s/^\(.option\) mqtt_status .*/\1 'mqtt_status' '0' # x/
reload: s/^\(.option LHI_RATE\).*/\1 '30'/
signal tobixlite * HUP
reload: "
declared=$(echo "$declared" | sed 's/settings=[0-9a-f]\{32\}$/settings=<digest>/')
[ "$declared" = "$expected" ] || fail "init script declared:
$declared"
grep -q "option 'mqtt_status' '0' # x" "$settings/config/tobixlite_config" || fail "mqtt_status not edited"
rm -rf "$settings"
# The parent's own stop (20 s + 5 s) must end before procd's timeout.
grep -q '^stop_wait=20$' "$source_dir/files/usr/bin/tobixlite_supervisor" || fail "stop_wait changed"
# Any user may plant a name in /tmp: the parent and the hotplug hook use none.
grep -n '/tmp/' "$source_dir/files/usr/bin/tobixlite_supervisor" "$source_dir/files/etc/hotplug.d/"*/* &&
	fail "a runtime path in /tmp"

# The recipe: the commands and kernel support the gateway needs, who keeps
# it under which licence, and a rebuild whenever a source it copies changes.
makefile=$source_dir/openwrt/tobixlite/Makefile
for needed in +bluez-utils +kmod-bluetooth +ca-bundle +libmosquitto-ssl PKG_MAINTAINER:= PKG_LICENSE:= PKG_LICENSE_FILES:=LICENSE; do
	grep -qF -- "$needed" "$makefile" || fail "recipe lacks $needed"
done
[ -s "$source_dir/LICENSE" ] || fail "no LICENSE"
watched=$(sed -n '/^PKG_FILE_DEPENDS/,/)$/p' "$makefile")
for copied in $(sed -n '/^define Build\/Prepare/,/^endef/p' "$makefile" | grep -o 'SOURCE)/[^ ]*' | cut -d/ -f2); do
	echo "$watched" | grep -qw -- "$copied" || fail "a change to $copied does not rebuild the package"
done

destdir=$build_dir/device-files-test
rm -rf "$destdir"
DESTDIR=$destdir "$cmake" --install "$build_dir" --prefix /usr >/dev/null || fail "cmake --install"
installed=$(cd "$destdir" && find . -type f -exec stat -c '%a %n' {} + | sed 's| \./| /|' | sort)
listed=$(sed -n 's|^\t$(INSTALL_\([A-Z]*\)) $(PKG_INSTALL_DIR)\([^ ]*\) .*|\1 \2|p' \
	"$source_dir/openwrt/tobixlite/Makefile" | sed 's/^BIN /755 /; s/^CONF /600 /; s/^DATA /644 /' | sort)
[ -n "$listed" ] && [ "$installed" = "$listed" ] || fail "installed files differ from the package:
$installed
---
$listed"
conffiles=$(sed -n '/conffiles$/,/^endef/p' "$source_dir/openwrt/tobixlite/Makefile" | grep '^/' | sort)
[ "$conffiles" = "$(echo "$listed" | sed -n 's/^600 //p')" ] || fail "conffiles: $conffiles"
rm -rf "$destdir"

[ "$failures" -eq 0 ] && echo "device files: all checks passed"
[ "$failures" -eq 0 ]
