#!/bin/busybox sh
# The guest's init, run by Debian's kernel in QEMU. From the initramfs: load the modules for
# virtio 9p and overlay, lay a tmpfs over the host's root (shared read-only), and go on in it.
# Inside: the common steps (install the package the tree built, as root) and then the test's
# own script, sourced, which drives the card as an unprivileged user. What it finds goes to
# /mnt, shared back; the guest then powers off.
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
    exec chroot /new /bin/sh "$(arg src)/tests/support/guest_init.sh" inside
fi

export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
busybox ip link set lo up # tests talk to servers on loopback (the root may have no ip of its own)
mkdir -p /dev/shm && mount -t tmpfs -o mode=1777 shm /dev/shm # a browser's shared memory
ln -sf /proc/self/fd /dev/fd # bash's <(...), as udev would make it
out=$(mktemp -d) && chmod 777 "$out" && cd "$out" # nobody's, in the overlay
step() { # name, command...: its output, status and time taken in /mnt
    name=$1; shift
    start=$(date +%s.%N)
    "$@" > "/mnt/$name.out" 2>&1; echo $? > "/mnt/$name.status"
    echo "$name $start $(date +%s.%N)" >> /mnt/times.out
}
rm -f /var/lib/man-db/auto-update # no manual index rebuilt on install: it takes a minute here
step install dpkg -i "$(arg deb)"
getcap -r /usr/bin /usr/sbin /usr/libexec "/usr/lib/$(arg multiarch)/qt6" > /mnt/getcap.out 2>/dev/null
. "$(arg src)/$(arg script)"
sync
echo o > /proc/sysrq-trigger
