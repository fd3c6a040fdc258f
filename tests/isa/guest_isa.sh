# Sourced by the guest's init once the package is installed (tests/support/guest_init.sh):
# drives the ISA card's path as nobody against QEMU's isa-debugcon ports at 0x300-0x302.
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env "$@"; }
step probe as_nobody /usr/libexec/looptest/looptest-porthelper --probe 300
step walk as_nobody looptest --headless --device isa:300 --loops 16 --step 20 --no-log
step diagnose as_nobody looptest --diagnose --device isa:300 --repeat 1 --no-log --json "$out/d.json"
cp "$out/d.json" /mnt/diagnosis.json
# A long walk killed without its goodbye: the helper opens every relay. (setpriv itself, not
# the function: $! must be the program, not a subshell.)
setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env looptest --headless --device isa:300 --duration 1h --step 20 --no-log > /dev/null 2>&1 &
sleep 3 && kill -9 $! && sleep 1 && echo killed > /mnt/killed.out
