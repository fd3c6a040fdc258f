# Sourced by the guest's init once the package is installed (tests/support/guest_init.sh):
# sets up Debian's comedi drivers on QEMU's ports, gives the device files to the group the
# package's udev rule names (no udev runs here), and walks the relays as nobody in that group.
kernel=$(arg kernel)
drivers() {
    # Legacy (ISA-style) devices need minors set aside for comedi_config to attach them to.
    modprobe -d "$kernel" comedi comedi_num_legacy_minors=5 &&
        modprobe -d "$kernel" comedi_parport && modprobe -d "$kernel" comedi_bond &&
        comedi_config /dev/comedi0 comedi_parport 0x310 &&
        comedi_config /dev/comedi1 comedi_parport 0x318 &&
        comedi_config /dev/comedi2 comedi_parport 0x320 &&
        comedi_config /dev/comedi3 comedi_parport 0x328 &&
        comedi_config /dev/comedi4 comedi_bond 0,1,2,3 &&
        comedi_board_info /dev/comedi4
}
step drivers drivers
# What udev would do with the package's rule for comedi devices.
rule=/usr/lib/udev/rules.d/60-looptest-comedi.rules
group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$rule") mode=$(sed -n 's/.*MODE="\([^"]*\)".*/\1/p' "$rule")
for n in /dev/comedi[0-9]*; do chgrp "$group" "$n" && chmod "$mode" "$n"; done
stat -c '%A %U %G' /dev/comedi4 > /mnt/node.out
step outsider setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
    looptest --headless --device comedi:/dev/comedi4 --loops 1 --no-log
step walk setpriv --reuid=nobody --regid=nogroup --groups="$group" --reset-env \
    looptest --headless --device comedi:/dev/comedi4 --loops 16 --step 20 --no-log
