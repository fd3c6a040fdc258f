#!/usr/bin/env bash
# Runs this checkout's set-up (scripts/setup.sh test, or run) inside a fresh root of another
# Debian release, made with mmdebstrap from the archive this machine's apt already uses. With
# :ARCH, the set-up builds and tests for that architecture in the root (LOOPTEST_ARCH; i386 on
# amd64, see scripts/setup.sh).
#   bash scripts/debian-root.sh SUITE[:ARCH] [test|run]
#   e.g.  bash scripts/debian-root.sh trixie;  bash scripts/debian-root.sh bookworm:i386
# As root. The root is new on every call and removed at the end; apt's downloads are kept
# between calls in $LOOPTEST_ROOT_CACHE (default /var/cache/looptest-roots/SUITE), outside the
# checkout. The checkout's files (tracked and untracked, not ignored) are copied in, so its
# build folders are not touched. Everything mounted for the root lives in a mount namespace of
# its own, which ends with this script however it ends.
set -euo pipefail
suite=${1:?usage: $0 SUITE[:ARCH] [test|run]}
mode=${2:-test}
case "$mode" in test | run) ;; *) echo "usage: $0 SUITE[:ARCH] [test|run]" >&2; exit 64 ;; esac
arch=$(dpkg --print-architecture)
case "$suite" in *:*) arch=${suite#*:} suite=${suite%%:*} ;; esac
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root (it makes a root and mounts into it)" >&2; exit 77; }
src=$(cd "$(dirname "$0")/.." && pwd)

# The Debian archive this machine's apt takes its own release from: the URI of the source
# whose suite is this release's code name. One-line and deb822 sources are both read.
mirror() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2> /dev/null |
      awk -v c="$codename" '$1 == "deb" { i = 2; if ($i ~ /^\[/) while ($i !~ /\]$/) i++;
                                          if ($i ~ /^\[/ || $i ~ /\]$/) i++;
                                          if ($(i + 1) == c) print $i }'
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      # deb822: stanzas split by blank lines; a stanza of Types deb naming this suite.
      awk -v c="$codename" 'BEGIN { RS = ""; FS = "\n" }
        { uri = ""; deb = 0; has = 0
          for (i = 1; i <= NF; i++) {
            if ($i ~ /^Types:/ && $i ~ /[ \t]deb([ \t]|$)/) deb = 1
            if ($i ~ /^URIs:/) { split($i, u, /[ \t]+/); uri = u[2] }
            if ($i ~ /^Suites:/) { n = split($i, s, /[ \t]+/); for (j = 2; j <= n; j++) if (s[j] == c) has = 1 }
          }
          if (deb && has && uri != "") print uri }' "$f"
    done
  } | head -n 1
}
archive=$(mirror) || true
[ -n "${archive:-}" ] || { echo "$0: no Debian archive found in this machine's apt sources" >&2; exit 69; }

for tool in mmdebstrap unshare; do
  command -v "$tool" > /dev/null || {
    echo "Installing mmdebstrap (to make the root)"
    apt-get update > /dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends mmdebstrap
    break
  }
done

cache=${LOOPTEST_ROOT_CACHE:-/var/cache/looptest-roots/$suite-$arch}
mkdir -p "$cache/archives/partial"
# LOOPTEST_ROOT_DIR keeps a root between calls, for a developer who tries a change on the other
# release again and again: made there when empty, used as it is otherwise, never removed.
if [ -n "${LOOPTEST_ROOT_DIR:-}" ]; then
  root=$(mkdir -p "$LOOPTEST_ROOT_DIR" && cd "$LOOPTEST_ROOT_DIR" && pwd)
  keep=1
else
  root=$(mktemp -d "${TMPDIR:-/var/tmp}/looptest-$suite-$arch.XXXXXX")
  keep=0
fi
chmod 755 "$root"
cleanup() {
  # Whatever still runs in the root (a test's server, a process a test left) ends with it.
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2> /dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2> /dev/null
  done
  [ "$keep" = 0 ] || return 0
  # The namespace's mounts are gone with it; a mount left by a killed child would keep the
  # folder busy, so unmount lazily what may remain before removing the root.
  grep -F " $root/" /proc/mounts | awk '{print $2}' | sort -r | xargs -r -n1 umount -l 2> /dev/null || true
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$SECONDS
if [ -z "$(ls -A "$root")" ]; then
  echo "== a fresh $suite $arch root from $archive in $root"
  mmdebstrap --quiet --variant=minbase --include=ca-certificates "$suite" "$root" "$archive"
else
  echo "== the $suite $arch root kept in $root"
fi
# apt keeps what it downloads (the set-up's packages) in the cache, for the next call.
rm -f "$root/etc/apt/apt.conf.d/docker-clean"
# No package starts a service in the root (PostgreSQL would): nothing outlives the script.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
mkdir -p "$root/src/looptest"
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
  tar --null -T - -cf - 2> /dev/null) | tar -xf - -C "$root/src/looptest"
echo "== root made and the checkout copied in $((SECONDS - started)) s"

# In a private mount namespace: /proc, /sys, /dev (with its pts and shm) and the download
# cache are mounted into the root, and all of them vanish when the namespace's last process
# ends. The host's resolver is copied so apt reaches the archive by name.
cp /etc/resolv.conf "$root/etc/resolv.conf" 2> /dev/null || true
export root cache mode arch
unshare --mount --propagation private -- bash -euc '
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mkdir -p "$root/var/cache/apt/archives"
  mount --bind "$cache/archives" "$root/var/cache/apt/archives"
  mount -t tmpfs tmpfs "$root/tmp"
  # The run mode shows the window on this machine'"'"'s X server.
  if [ "$mode" = run ] && [ -d /tmp/.X11-unix ]; then
    mkdir -p "$root/tmp/.X11-unix" && mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
  fi
  exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM=dumb CI="${CI:-}" LOOPTEST_SANITIZED="${LOOPTEST_SANITIZED:-1}" LOOPTEST_ARCH="$arch" DISPLAY="${DISPLAY:-}" \
    bash -c "cd /src/looptest && bash scripts/setup.sh $mode"
'
