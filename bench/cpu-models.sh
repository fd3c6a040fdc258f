#!/usr/bin/env bash
# Which part of the 32-bit build runs on which x86 CPU. Runs the port helper (its probe), a
# headless run on the simulator and the window (the program offscreen for 15 s, and the window
# test) of a 32-bit build under qemu-i386's models of older CPUs, and prints a Markdown table.
# QEMU gives each model its CPUID (so Qt's start-up check and glibc's choice of string
# routines see that CPU) and refuses instructions newer than the i686 baseline (CMOV) on the
# 486 and Pentium models; it does not refuse SSE or SSE2, so the table also counts the SSE
# instructions (xmm registers) in the build's own programs.
#   bench/cpu-models.sh BUILD_DIR     (a build of LOOPTEST_ARCH=i386 scripts/setup.sh)
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR}
qemu=$(command -v qemu-i386-static || command -v qemu-i386) || { echo "qemu-user-static is missing" >&2; exit 69; }
models=(486 pentium pentium2 pentium3 n270 coreduo core2duo)
# What a run ended with: ok, or the signal or status and the first words it said.
outcome() {
  local status=$1 out=$2 ok=$3
  if [ "$status" = "$ok" ]; then echo "runs"; return; fi
  case "$status" in
    132) echo "SIGILL" ;;
    134) echo "aborts: $(grep -m1 -o 'Incompatible processor[^.]*' <<< "$out" || echo abort)" ;;
    *) echo "status $status: $(head -c 60 <<< "$out" | tr '\n' ' ')" ;;
  esac
}
sse() { objdump -d --no-show-raw-insn "$1" 2> /dev/null | grep -c '%xmm'; }
echo "| qemu-i386 -cpu | port helper (--probe) | headless run (sim) | window (offscreen) | window test |"
echo "|---|---|---|---|---|"
for m in "${models[@]}"; do
  # QEMU's own warnings (a feature its TCG lacks) are not the program's words.
  out=$("$qemu" -cpu "$m" "$build/looptest-porthelper" --probe 300 2>&1 | grep -v '^qemu-i386'); s=${PIPESTATUS[0]}
  # No port I/O in user-mode emulation: the helper says so and ends with its own status.
  helper=$( [ "$s" -lt 128 ] && grep -q . <<< "$out" && echo "runs (says: $(head -c 40 <<< "$out")…)" || outcome "$s" "$out" 0)
  out=$(QT_QPA_PLATFORM=offscreen "$qemu" -cpu "$m" "$build/looptest" --headless --device sim \
        --loops 50 --step 20 --no-log 2>&1); s=$?
  headless=$(outcome "$s" "$out" 0); [ "$s" = 0 ] && ! grep -q 'verdict: PASS' <<< "$out" && headless="ran, no PASS"
  out=$(QT_QPA_PLATFORM=offscreen timeout 15 "$qemu" -cpu "$m" "$build/looptest" --device sim 2>&1); s=$?
  window=$(outcome "$s" "$out" 124); [ "$window" = runs ] && window="runs (up 15 s)"
  out=$(QT_QPA_PLATFORM=offscreen "$qemu" -cpu "$m" "$build/tests/tst_layout" 2>&1); s=$?
  test=$(outcome "$s" "$out" 0)
  echo "| $m | $helper | $headless | $window | $test |"
done
echo
echo "SSE/SSE2 instructions (xmm) in the programs: helper $(sse "$build/looptest-porthelper"), looptest $(sse "$build/looptest")"
