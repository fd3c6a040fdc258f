# Sourced by the tests that run the installed package on Debian's own kernel in QEMU (software
# emulation, no KVM): this machine's root, shared read-only under a tmpfs, is the guest's root,
# so the guest runs the very programs and libraries of this machine (or of the root the suite
# runs in). The kernel is the one Debian ships for the package's architecture (amd64, or 686
# for i386). A package built for another architecture than this machine's (a 32-bit build made
# with LOOPTEST_ARCH=i386) gets a root of its own: a minimal Debian root of that architecture
# with the package's dependencies, made once by mmdebstrap into the build folder, into which the
# checkout and the build folder are bound at their own paths.
#   guest_prepare BUILD_DIR SOURCE_DIR NAME   sets work, kernel, ver, arch, multiarch, deb, qemu
#   guest_boot SECONDS GUEST_SCRIPT [QEMU_ARGS...]   GUEST_SCRIPT runs as root inside the guest
# What the guest finds goes to $work/mnt. A test skips (exit 77) where a tool is missing.
skip() { echo "skipped: $*"; exit 77; }

guest_prepare() {
  local build=$1 src=$2 name=$3 tool pkg cache
  work=$build/tests/qemu-$name
  rm -rf "$work" && mkdir -p "$work"/initrd/{bin,lib/modules,proc,sys,dev} "$work/mnt"
  # The package of the tree as it is built now, and the architecture it is for.
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" > "$work/cpack.txt" ||
    { cat "$work/cpack.txt"; exit 1; }
  deb=$(echo "$work"/looptest_*.deb)
  [ -f "$deb" ] || { echo "no package in $work"; exit 1; }
  arch=$(dpkg-deb -f "$deb" Architecture)
  multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2> /dev/null)
  case "$arch" in
    amd64) qemu=qemu-system-x86_64 image=linux-image-amd64 ;;
    i386) qemu=qemu-system-i386 image=linux-image-686 ;;
    *) skip "no Debian kernel and QEMU machine chosen for $arch" ;;
  esac
  for tool in $qemu busybox cpio depmod modprobe apt-get dpkg-deb cpack; do
    command -v "$tool" > /dev/null ||
      skip "$tool is missing (scripts/setup.sh installs qemu-system-x86, busybox-static, cpio, kmod)"
  done
  [ "$(id -u)" -eq 0 ] || skip "the guest's root is this machine's: run as root"

  # Debian's kernel, the version the meta-package names, fetched once into the build folder.
  # (Named with its architecture, linux-image-…-686:i386, when it is not this machine's.)
  pkg=$(apt-cache depends "$image:$arch" 2> /dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
  [ -n "$pkg" ] || skip "apt knows no $image:$arch"
  pkg=${pkg%%:*}
  cache=$build/tests/qemu-cache ver=${pkg#linux-image-}
  kernel=$cache/$ver
  if [ ! -f "$kernel/boot/vmlinuz-$ver" ]; then
    rm -rf "$cache" && mkdir -p "$cache"
    (cd "$cache" && apt-get download "$pkg:$arch" > /dev/null 2>&1) || skip "apt-get download $pkg failed"
    dpkg-deb -x "$cache"/"$pkg"_*.deb "$kernel"
    # Debian 13's kernel package keeps its modules in usr/lib/modules (merged /usr), where
    # depmod -b and modprobe -d do not look: give the tree the /lib a merged system has.
    [ -e "$kernel/lib" ] || [ ! -d "$kernel/usr/lib/modules" ] || ln -s usr/lib "$kernel/lib"
    depmod -b "$kernel" "$ver"
  fi

  guest_root=/
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    guest_root=$cache/root-$arch
    if [ ! -x "$guest_root/usr/bin/looptest-root-ready" ]; then
      command -v mmdebstrap > /dev/null || skip "mmdebstrap is missing (to make the $arch guest's root)"
      arch-test "$arch" > /dev/null 2>&1 || skip "this machine runs no $arch programs (scripts/setup.sh)"
      local depends release archive
      depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/|.*//; s/ //g' | paste -sd, -)
      # This machine's release, from the archive its apt already uses.
      release=$(. /etc/os-release && echo "$VERSION_CODENAME")
      archive=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' |
        awk -v r="$release" '$1 == r {print $2; exit}')
      [ -n "$archive" ] || skip "no archive of $release in apt's sources"
      rm -rf "$guest_root"
      echo "making the $arch guest's root (once per build folder)"
      mmdebstrap --quiet --variant=minbase --architectures="$arch" \
        --include="$depends,busybox-static,kmod,libcap2-bin,libcomedi0" \
        "$release" "$guest_root" "$archive" > "$work/mmdebstrap.txt" 2>&1 ||
        { rm -rf "$guest_root"; cat "$work/mmdebstrap.txt"; exit 1; }
      touch "$guest_root/usr/bin/looptest-root-ready" && chmod +x "$guest_root/usr/bin/looptest-root-ready"
    fi
  fi

  # A small initramfs: busybox, the modules 9p over virtio and overlay need, and the init.
  cp "$guest_root/bin/busybox" "$work/initrd/bin/busybox"
  for m in virtio_pci 9pnet_virtio 9p overlay; do modprobe -d "$kernel" -S "$ver" --show-depends "$m"; done |
    awk '/^insmod/ && !seen[$2]++ {print $2}' | while read -r ko; do
      cp "$ko" "$work/initrd/lib/modules/" && basename "$ko" >> "$work/initrd/modules"
    done
  cp "$src/tests/support/guest_init.sh" "$work/initrd/init"
  (cd "$work/initrd" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.gz"
  guest_src=$src build_dir=$build
}

guest_boot() {
  local seconds=$1 script=$2 started=$SECONDS
  shift 2
  # Another architecture's root sees the checkout, the build folder and the kernel's modules
  # at their own paths: bound into it in a mount namespace of QEMU's own.
  local binds=""
  [ "$guest_root" = / ] ||
    binds="for d in $guest_src $build_dir; do mkdir -p $guest_root\$d && mount --bind \$d $guest_root\$d; done;"
  # (In a chroot whose / is no mount point, as scripts/debian-root.sh makes, propagation cannot
  # be changed; its mounts are private already.)
  local propagation=private
  mountpoint -q / || propagation=unchanged
  unshare --mount --propagation $propagation -- sh -c "$binds exec \"\$@\"" qemu \
  timeout -s KILL "$seconds" $qemu -machine pc -accel tcg -m 1024 -nographic -no-reboot \
    -kernel "$kernel/boot/vmlinuz-$ver" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet looptest.src=$guest_src looptest.deb=$deb looptest.script=$script looptest.kernel=$kernel looptest.multiarch=$multiarch" \
    -virtfs "local,path=$guest_root,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$work/mnt,mount_tag=results,security_model=none" "$@" \
    > "$work/console.txt" 2>&1 || true
  echo "the guest ($arch, Debian's $ver on $qemu) ran $((SECONDS - started)) s"
}

# An isa-debugcon device at I/O base 0xHEX: what the guest writes there goes to
# $work/portHEX.bin, and a read gives 0xREADBACK. guest_port HEX READBACK adds it to ports.
ports=()
guest_port() {
  ports+=(-chardev "file,id=p$1,path=$work/port$1.bin"
          -device "isa-debugcon,iobase=0x$1,chardev=p$1,readback=0x$2")
}

# Fails the test unless the guest installed the package.
guest_installed() {
  [ "$(cat "$work/mnt/install.status" 2> /dev/null)" = 0 ] ||
    guest_fail "the package did not install: $(cat "$work/mnt/install.out" 2> /dev/null)"
}

# What reached the port whose bytes QEMU wrote to FILE, consecutive repeats as one: "01 02 04 ...".
guest_bytes() { od -An -v -tx1 "$1" | tr -s ' \n' '\n' | sed '/^$/d' | uniq | tr '\n' ' '; }

# Fails the test, keeping what the guest left for a look.
guest_fail() {
  echo "FAILED: $*"
  mkdir -p "$artefacts/$(basename "$work")" &&
    cp -r "$work"/mnt "$work"/*.txt "$work"/*.bin "$artefacts/$(basename "$work")/" 2> /dev/null
  exit 1
}
