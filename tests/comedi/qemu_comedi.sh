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
guest_boot 300 tests/comedi/guest_comedi.sh "${ports[@]}"

bytes() { guest_bytes "$work/port$1.bin"; }
fail() { guest_fail "$@"; }
# How many times the walk closed each relay, from the bytes it wrote to the relay ports (0x310:
# relays 0-7, 0x318: relays 8-15): sixteen figures, relay 0's first. Under emulation the next
# step can come before a step's read-back, which then reads the next step: the overtaken step
# was closed but never checked. The counts are bounded by these figures, and are one a relay
# only when no step was overtaken.
closings() {
  local -a n=(0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0)
  local p b bit
  for p in 0 1; do
    for b in $(bytes $((310 + 8 * p))); do
      for bit in 0 1 2 3 4 5 6 7; do
        if (( 16#$b == 1 << bit )); then n[8 * p + bit]=$((n[8 * p + bit] + 1)); fi
      done
    done
  done
  echo "${n[@]}"
}
r=$work/mnt
guest_installed
[ "$(cat "$r/drivers.status")" = 0 ] || fail "the comedi devices were not set up: $(cat "$r/drivers.out")"
# The device file as the package's rule leaves it: the iocard group's, not the world's.
[ "$(cat "$r/node.out")" = "crw-rw---- root iocard" ] || fail "/dev/comedi4 is $(cat "$r/node.out")"
# Refused to nobody outside the group, with the reason named.
[ "$(cat "$r/outsider.status")" != 0 ] && grep -q "iocard group" "$r/outsider.out" ||
  fail "nobody outside the iocard group was not refused: $(cat "$r/outsider.out")"
# Each read-back finds one relay closed. Input 8, read active all the time, is relay 7's:
# relay 7 closed, nothing is charged; any other relay closed, it is charged (its input never
# came) and so is relay 7 (its input was active while it was open). So relay 7's count is the
# sum of the others', 16 read-backs less those that found it closed, and no relay is charged
# more often than the walk closed it: 15 for relay 7 and 1 for every other relay when no step
# was overtaken.
closings=$(closings)
[ "$(cat "$r/walk.status")" = 1 ] && grep -q 'verdict: FAIL' "$r/walk.out" &&
  grep -q '^loops 16 of 16,' "$r/walk.out" &&
  awk -v closings="$closings" 'BEGIN { split(closings, n, " ") }
    NF == 3 && $1 ~ /^[0-9]+$/ { rows++; c[$1] = $3; bad += $2 != 15 - $1 }
    END { for (r = 0; r < 16; r++) if (r != 7) { others += c[r]; bad += c[r] > n[r + 1] }
          exit bad || rows != 16 || c[7] != others || c[7] > 16 || 16 - c[7] > n[8] }' \
    "$r/walk.out" ||
  fail "the walk's counts are not what the inputs read (closings $closings): $(cat "$r/walk.out")"
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
