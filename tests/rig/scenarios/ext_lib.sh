# Helpers for the extended scenarios' check.sh, after check_lib.sh: the
# rows the controller logged for the advertisements it sent, the uploaded
# rows without their receive time, and the batch messages' sizes.

# logged_rows NAME…: the rows (without receive time) of the complete
# extended advertisements of these advertisers the controller sent, sorted.
logged_rows() {
  local pattern=$1
  shift
  for name in "$@"; do pattern="$pattern\\|$name"; done
  sed -n "s/^extended .* name=\\(${pattern}\\) .* status=complete row=\\([0-9A-F]*\\)\$/\\2/p" \
    "$results/controller.log" | sort
}

# uploaded_rows FIELD: the rows of FIELD in the batch messages, without
# their receive time (8 digits), sorted (duplicates kept).
uploaded_rows() { batch_rows "$1" | sed 's/........$//' | sort; }

# numbered_legacy_rows ADDRESS_PREFIX DEVICES RSSI_HEX DATA COUNT: the rows
# (without receive time) a numbered legacy advertiser's reports make:
# address, RSSI, data length + 4, data with the sequence structure.
numbered_legacy_rows() {
  awk -v prefix="$1" -v devices="$2" -v rssi="$3" -v data="$4" -v count="$5" 'BEGIN {
      for (i = 0; i < count; i++)
        printf "%s%02X%s%02X%s07FFFFFF%08X\n", prefix, i % devices, rssi,
               length(data) / 2 + 8 + 4, data, i
    }' | sort
}

# message_sizes: the byte size of every batch message, one a line.
message_sizes() {
  LC_ALL=C awk '$2 == "/Tobix/Beacons" { print length($0) - length($1) - length($2) - 2 }' \
    "$results/messages.txt" 2>/dev/null
}
