#!/usr/bin/env bash
# The program must never lend a privilege to code it loads. As the unprivileged user nobody,
# run a copy of the program that was granted cap_sys_rawio and cap_dac_override (what an old
# set-up recipe did), with a hostile Qt plugin on the plugin path: the plugin must not be able
# to read a root-only file. A set-uid copy must refuse to start before Qt loads anything.
#   privileges.sh PROGRAM PLUGIN_DIR
set -euo pipefail
program=$1
plugins=$2
skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root, to grant a capability with setcap and to run as nobody"
command -v setcap >/dev/null || skip "setcap is missing (package libcap2-bin)"
command -v setpriv >/dev/null || skip "setpriv is missing (package util-linux)"
id nobody >/dev/null 2>&1 || skip "there is no unprivileged user 'nobody' on this machine"
fail() { echo "FAIL: $*"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
echo "root-only secret $$ $RANDOM" >"$work/secret"
chmod 600 "$work/secret"
mkdir -m 1777 "$work/reports"
cp -r "$plugins" "$work/plugins"
chmod -R a+rX "$work/plugins"

# Runs a copy of the program as nobody with the plugin in reach; prints its exit status.
attack() {
  local copy=$1 report=$2
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="$work/plugins" \
    QT_QPA_GENERIC_PLUGINS=hostile HOSTILE_SECRET="$work/secret" HOSTILE_REPORT="$report" \
    timeout 30 "$copy" >"$work/out" 2>&1 && echo 0 || echo $?
}

cp "$program" "$work/looptest-caps"
setcap cap_sys_rawio,cap_dac_override+ep "$work/looptest-caps" \
  || skip "this file system does not keep file capabilities"
getcap "$work/looptest-caps" | grep -q cap_dac_override || skip "setcap left no capability"
status=$(attack "$work/looptest-caps" "$work/reports/caps")
[ -f "$work/reports/caps" ] || fail "the plugin never ran (status $status): $(cat "$work/out")"
grep -q "root-only secret" "$work/reports/caps" \
  && fail "the plugin read a root-only file through the program: $(cat "$work/reports/caps")"
echo "granted capabilities: the plugin was $(cat "$work/reports/caps")"

cp "$program" "$work/looptest-suid"
chmod 4755 "$work/looptest-suid"
status=$(attack "$work/looptest-suid" "$work/reports/suid")
[ "$status" = 77 ] || fail "a set-uid copy ran on (status $status): $(cat "$work/out")"
grep -q "refuses to run set-uid" "$work/out" || fail "no reason given: $(cat "$work/out")"
[ -f "$work/reports/suid" ] && fail "the plugin was loaded by a set-uid copy"
echo "set-uid: refused before Qt started"
