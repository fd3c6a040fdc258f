#!/bin/busybox sh
# The guest's init, run by Debian's kernel in QEMU. First from the initramfs: load the modules
# for virtio 9p and overlay, lay a tmpfs over the host's root (shared read-only), and go on in
# it. Then inside: install the package the tree built, and drive the ISA card's path as nobody
# against QEMU's isa-debugcon ports at 0x300-0x302. What it finds goes to /mnt, shared back.
arg() { sed -n "s/.*looptest\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }

if [ "$1" != inside ]; then
    /bin/busybox --install -s /bin
    mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
    for m in $(cat /modules); do insmod "/lib/modules/$m"; done
    mkdir -p /lower /upper /new
    mount -t 9p -o trans=virtio,version=9p2000.L,ro hostroot /lower
    mount -t tmpfs -o size=1g tmpfs /upper && mkdir /upper/u /upper/w
    mount -t overlay -o lowerdir=/lower,upperdir=/upper/u,workdir=/upper/w overlay /new
    # /tmp stays the host's (the checkout may be there), writable in the overlay like the rest.
    mount -t proc proc /new/proc && mount -t sysfs sys /new/sys && mount -t devtmpfs dev /new/dev
    mount -t 9p -o trans=virtio,version=9p2000.L results /new/mnt
    exec chroot /new /bin/sh "$(arg src)/tests/isa/guest_init.sh" inside
fi

export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
out=$(mktemp -d) && chmod 777 "$out" && cd "$out" # nobody's, in the overlay
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env "$@"; }
step() { # name, command...: its output, status and time taken in /mnt
    name=$1; shift
    start=$(date +%s.%N)
    "$@" > "/mnt/$name.out" 2>&1; echo $? > "/mnt/$name.status"
    echo "$name $start $(date +%s.%N)" >> /mnt/times.out
}
rm -f /var/lib/man-db/auto-update # no manual index rebuilt on install: it takes a minute here
step install dpkg -i "$(arg deb)"
getcap -r /usr/bin /usr/sbin /usr/libexec /usr/lib/x86_64-linux-gnu/qt6 > /mnt/getcap.out 2>/dev/null
step probe as_nobody /usr/libexec/looptest/looptest-porthelper --probe 300
step walk as_nobody looptest --headless --device isa:300 --loops 16 --step 20 --no-log
step diagnose as_nobody looptest --diagnose --device isa:300 --repeat 1 --no-log --json "$out/d.json"
cp "$out/d.json" /mnt/diagnosis.json
# A long walk killed without its goodbye: the helper opens every relay.
setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
    looptest --headless --device isa:300 --duration 1h --step 20 --no-log > /dev/null 2>&1 &
sleep 3 && kill -9 $! && sleep 1 && echo killed > /mnt/killed.out
sync
echo o > /proc/sysrq-trigger
