#!/usr/bin/env bash
# The ISA card's path on a real kernel: boots Debian's own kernel in QEMU (no KVM) on this
# machine's root, shared read-only under a tmpfs, with isa-debugcon ports at 0x300, 0x301 and
# 0x302 that record every byte written and read 0xFF (nothing wired). The guest installs the
# package the tree built and drives the card as nobody (tests/isa/guest_init.sh); the host
# then checks what reached the ports. Exit 77 (skipped) names what is missing.
#   qemu_isa.sh BUILD_DIR SOURCE_DIR ARTEFACTS_DIR
set -euo pipefail
build=$1 src=$2 artefacts=$3
work=$build/tests/qemu-isa cache=$build/tests/qemu-cache
skip() { echo "skipped: $*"; exit 77; }
for tool in qemu-system-x86_64 busybox cpio depmod modprobe apt-get dpkg-deb cpack; do
  command -v "$tool" > /dev/null ||
    skip "$tool is missing (scripts/setup.sh installs qemu-system-x86, busybox-static, cpio, kmod)"
done
[ "$(id -u)" -eq 0 ] || skip "the guest's root is this machine's: run as root"

# Debian's kernel, the version linux-image-amd64 names, fetched once into the build folder.
pkg=$(apt-cache depends linux-image-amd64 2> /dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p')
[ -n "$pkg" ] || skip "apt knows no linux-image-amd64"
ver=${pkg#linux-image-} kernel=$cache/$ver
if [ ! -f "$kernel/boot/vmlinuz-$ver" ]; then
  rm -rf "$cache" && mkdir -p "$cache"
  (cd "$cache" && apt-get download "$pkg" > /dev/null 2>&1) || skip "apt-get download $pkg failed"
  dpkg-deb -x "$cache"/"$pkg"_*.deb "$kernel"
  # Debian 13's kernel package keeps its modules in usr/lib/modules (merged /usr), where
  # depmod -b and modprobe -d do not look: give the tree the /lib a merged system has.
  [ -e "$kernel/lib" ] || [ ! -d "$kernel/usr/lib/modules" ] || ln -s usr/lib "$kernel/lib"
  depmod -b "$kernel" "$ver"
fi
rm -rf "$work" && mkdir -p "$work"/initrd/{bin,lib/modules,proc,sys,dev} "$work/mnt"
# The package of the tree as it is built now.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" > "$work/cpack.txt" ||
  { cat "$work/cpack.txt"; exit 1; }
deb=$(echo "$work"/looptest_*_amd64.deb)

# A small initramfs: busybox, the modules 9p over virtio and overlay need, and the init.
cp "$(command -v busybox)" "$work/initrd/bin/busybox"
for m in virtio_pci 9pnet_virtio 9p overlay; do modprobe -d "$kernel" -S "$ver" --show-depends "$m"; done |
  awk '/^insmod/ && !seen[$2]++ {print $2}' | while read -r ko; do
    cp "$ko" "$work/initrd/lib/modules/" && basename "$ko" >> "$work/initrd/modules"
  done
cp "$src/tests/isa/guest_init.sh" "$work/initrd/init"
(cd "$work/initrd" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"

ports=()
for p in 300 301 302; do
  ports+=(-chardev "file,id=p$p,path=$work/port$p.bin"
          -device "isa-debugcon,iobase=0x$p,chardev=p$p,readback=0xff")
done
started=$SECONDS
timeout -s KILL 110 qemu-system-x86_64 -machine pc -accel tcg -m 1024 -nographic -no-reboot \
  -kernel "$kernel/boot/vmlinuz-$ver" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 quiet looptest.src=$src looptest.deb=$deb" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$work/mnt,mount_tag=results,security_model=none" "${ports[@]}" \
  > "$work/console.txt" 2>&1 || true
echo "the guest ran $((SECONDS - started)) s"

# What reached a port, consecutive repeats as one: "01 02 04 ...".
bytes() { od -An -v -tx1 "$work/port$1.bin" | tr -s ' \n' '\n' | sed '/^$/d' | uniq | tr '\n' ' '; }
fail() {
  echo "FAILED: $*"
  mkdir -p "$artefacts/qemu-isa" && cp -r "$work"/mnt "$work"/*.txt "$work"/*.bin "$artefacts/qemu-isa/"
  exit 1
}
r=$work/mnt
[ "$(cat "$r/install.status" 2> /dev/null)" = 0 ] || fail "the package did not install: $(cat "$r/install.out" 2> /dev/null)"
[ "$(cat "$r/getcap.out")" = "/usr/libexec/looptest/looptest-porthelper cap_sys_rawio=ep" ] ||
  fail "not the helper alone holds cap_sys_rawio: $(cat "$r/getcap.out")"
[ "$(cat "$r/probe.status")" = 0 ] || fail "the helper's probe failed: $(cat "$r/probe.out")"
# Nothing wired, every input reads inactive: every relay charged, the run failed.
[ "$(cat "$r/walk.status")" = 1 ] && grep -q 'verdict: FAIL' "$r/walk.out" &&
  [ "$(awk 'NF == 3 && $1 ~ /^[0-9]+$/ && $3 > 0' "$r/walk.out" | wc -l)" = 16 ] ||
  fail "the walk did not charge every relay: $(cat "$r/walk.out")"
[ "$(grep -c '"class": "open"' "$r/diagnosis.json")" = 16 ] ||
  fail "the diagnosis did not find every channel open: $(cat "$r/diagnose.out")"
walk="01 02 04 08 10 20 40 80 "
[[ "$(bytes 300 | sed 's/^\(00 \)*//')" == "$walk"* ]] || fail "port 0x300 got $(bytes 300)"
[[ "$(bytes 301 | sed 's/^\(00 \)*//')" == "$walk"* ]] || fail "port 0x301 got $(bytes 301)"
[ ! -s "$work/port302.bin" ] || fail "0x302, outside the card, got $(bytes 302)"
[ -f "$r/killed.out" ] && [ "$(bytes 300 | awk '{print $NF}')" = 00 ] &&
  [ "$(bytes 301 | awk '{print $NF}')" = 00 ] || fail "after the SIGKILL a relay stayed closed"
echo "passed: the package, the helper's capability, the walk, the diagnosis and the goodbye"
