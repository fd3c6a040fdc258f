#!/usr/bin/env bash
# The ISA card's path on a real kernel: boots Debian's own kernel in QEMU with isa-debugcon
# ports at 0x300, 0x301 and 0x302 that record every byte written and read 0xFF (nothing
# wired). The guest installs the package the tree built and drives the card as nobody
# (tests/isa/guest_isa.sh); the host then checks what reached the ports. Exit 77 (skipped)
# names what is missing.
#   qemu_isa.sh BUILD_DIR SOURCE_DIR ARTEFACTS_DIR
set -euo pipefail
build=$1 src=$2 artefacts=$3
. "$src/tests/support/qemu_guest.sh"
guest_prepare "$build" "$src" isa

for p in 300 301 302; do guest_port $p ff; done
guest_boot 300 tests/isa/guest_isa.sh "${ports[@]}"

bytes() { guest_bytes "$work/port$1.bin"; }
fail() { guest_fail "$@"; }
r=$work/mnt
guest_installed
[ "$(cat "$r/getcap.out")" = "/usr/libexec/looptest/looptest-porthelper cap_sys_rawio=ep" ] ||
  fail "not the helper alone holds cap_sys_rawio: $(cat "$r/getcap.out")"
[ "$(cat "$r/probe.status")" = 0 ] || fail "the helper's probe failed: $(cat "$r/probe.out")"
# Nothing wired, every input reads inactive: each of the 16 read-backs charges the one relay
# it found closed (one a relay unless a step was overtaken: see the comedi test), and the run
# failed.
[ "$(cat "$r/walk.status")" = 1 ] && grep -q 'verdict: FAIL' "$r/walk.out" &&
  grep -q '^loops 16 of 16,' "$r/walk.out" &&
  awk 'NF == 3 && $1 ~ /^[0-9]+$/ { rows++; sum += $3; bad += $2 != 15 - $1 }
    END { exit bad || rows != 16 || sum != 16 }' "$r/walk.out" ||
  fail "the walk's counts are not what the inputs read: $(cat "$r/walk.out")"
[ "$(grep -c '"class": "open"' "$r/diagnosis.json")" = 16 ] ||
  fail "the diagnosis did not find every channel open: $(cat "$r/diagnose.out")"
walk="01 02 04 08 10 20 40 80 "
[[ "$(bytes 300 | sed 's/^\(00 \)*//')" == "$walk"* ]] || fail "port 0x300 got $(bytes 300)"
[[ "$(bytes 301 | sed 's/^\(00 \)*//')" == "$walk"* ]] || fail "port 0x301 got $(bytes 301)"
[ ! -s "$work/port302.bin" ] || fail "0x302, outside the card, got $(bytes 302)"
[ -f "$r/killed.out" ] && [ "$(bytes 300 | awk '{print $NF}')" = 00 ] &&
  [ "$(bytes 301 | awk '{print $NF}')" = 00 ] || fail "after the SIGKILL a relay stayed closed"
echo "passed: the package, the helper's capability, the walk, the diagnosis and the goodbye"
