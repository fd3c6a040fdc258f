#!/usr/bin/env bash
# A comedi card through a real kernel's comedi drivers: boots Debian's own kernel in QEMU with
# four isa-debugcon ports where four parallel ports' data registers would be (0x310, 0x318,
# 0x320, 0x328). In the guest, Debian's comedi_parport driver takes each as a device and
# comedi_bond joins their four 8-bit digital I/O subdevices into one of 32 channels: relays on
# the first two ports, inputs on the last two. The installed package's program walks the relays
# as nobody in the group the package gives comedi devices (tests/comedi/guest_comedi.sh). QEMU
# records every byte written to each port; the input ports read a fixed byte: 0x320 reads 0x00
# (inputs 0-7 inactive), 0x328 reads 0x01 (input 8 active, always).
#   qemu_comedi.sh BUILD_DIR SOURCE_DIR ARTEFACTS_DIR
set -euo pipefail
build=$1 src=$2 artefacts=$3
. "$src/tests/support/qemu_guest.sh"
guest_prepare "$build" "$src" comedi
for m in comedi comedi_parport comedi_bond; do
  modprobe -d "$kernel" -S "$ver" --show-depends "$m" > /dev/null 2>&1 ||
    skip "Debian's $ver kernel has no $m module"
done
command -v comedi_config > /dev/null || skip "comedi_config is missing (libcomedi0 has it)"

guest_port 310 00 && guest_port 318 00 && guest_port 320 00 && guest_port 328 01
guest_boot 110 tests/comedi/guest_comedi.sh "${ports[@]}"

bytes() { guest_bytes "$work/port$1.bin"; }
fail() { guest_fail "$@"; }
r=$work/mnt
guest_installed
[ "$(cat "$r/drivers.status")" = 0 ] || fail "the comedi devices were not set up: $(cat "$r/drivers.out")"
# The device file as the package's rule leaves it: the iocard group's, not the world's.
[ "$(cat "$r/node.out")" = "crw-rw---- root iocard" ] || fail "/dev/comedi4 is $(cat "$r/node.out")"
# Refused to nobody outside the group, with the reason named.
[ "$(cat "$r/outsider.status")" != 0 ] && grep -q "iocard group" "$r/outsider.out" ||
  fail "nobody outside the iocard group was not refused: $(cat "$r/outsider.out")"
# Input 8, read active all the time, is relay 7's: relay 7 is charged for each of the 15 steps
# it was open, and passes its own step; every other relay is charged once, for its own step,
# whose input never came.
expected=$(for r in $(seq 0 15); do echo "$r $((15 - r)) $([ "$r" = 7 ] && echo 15 || echo 1)"; done)
[ "$(cat "$r/walk.status")" = 1 ] && grep -q 'verdict: FAIL' "$r/walk.out" &&
  [ "$(awk 'NF == 3 && $1 ~ /^[0-9]+$/ {print $1, $2, $3}' "$r/walk.out")" = "$expected" ] ||
  fail "the walk's counts are not what the inputs read: $(cat "$r/walk.out")"
# The bytes on the relay ports, in the walk's order, the relays open at the end. The input
# ports get the one 0x00 comedi_parport writes when it attaches a port, and nothing after.
walk="01 02 04 08 10 20 40 80 "
[[ "$(bytes 310 | sed 's/^\(00 \)*//')" == "$walk"00* ]] || fail "port 0x310 got $(bytes 310)"
[[ "$(bytes 318 | sed 's/^\(00 \)*//')" == "$walk"00* ]] || fail "port 0x318 got $(bytes 318)"
[ "$(bytes 310 | awk '{print $NF}')$(bytes 318 | awk '{print $NF}')" = 0000 ] ||
  fail "a relay stayed closed after the run: 0x310 got $(bytes 310), 0x318 got $(bytes 318)"
[ "$(od -An -v -tx1 "$work/port320.bin" "$work/port328.bin" | tr -d ' \n')" = 0000 ] ||
  fail "an input port was written: 0x320 got $(bytes 320), 0x328 got $(bytes 328)"
echo "passed: comedi_parport and comedi_bond on Debian's kernel, the package's group, the walk"
