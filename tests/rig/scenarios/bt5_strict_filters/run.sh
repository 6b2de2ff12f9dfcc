# The filters scenario's run against a strict Bluetooth 5 controller playing
# the same advertisers: its controller line gains bt5=strict, so the
# kernel's init (0x203B) locks out the legacy scan commands.
sed 's/^controller .*/& bt5=strict/' filters.scn > controller.scn
. ./filters_run.sh
