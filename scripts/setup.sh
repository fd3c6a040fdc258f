#!/usr/bin/env bash
# Installs what this machine is missing, builds, and then opens the program (run) or runs the
# whole test suite (test). For Debian 12 and Debian 13; run as root or as a user with sudo.
#   bash scripts/setup.sh run|test
# The test command's passes: the suite; the suite again on a machine kept busy; the suite built
# with the sanitizers; fuzzing. LOOPTEST_SANITIZED=0 leaves out all but the first: CI runs them
# on one release only.
# LOOPTEST_ARCH=i386 on an amd64 Debian 12 builds the 32-bit program (Debian's i686 cross
# compiler and the i386 libraries beside the machine's own) in build-i386 and runs its suite;
# the kernel runs the 32-bit programs where it can, qemu-i386 where it cannot.
set -euo pipefail
mode=${1:-run}
case "$mode" in run|test) ;; *) echo "usage: $0 run|test" >&2; exit 2 ;; esac
cd "$(dirname "$0")/.."
native=$(dpkg --print-architecture)
arch=${LOOPTEST_ARCH:-$native}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# What differs for another architecture: its build folder and the cross toolchain.
build=build
cross=()
if [ "$arch" != "$native" ]; then
  [ "$arch" = i386 ] && [ "$native" = amd64 ] ||
    { echo "$0: LOOPTEST_ARCH=$arch: only i386 on amd64 is built here" >&2; exit 2; }
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  build=build-$arch
  cross=(-DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake)
fi

# To build and run: compiler, CMake, Qt 6 Widgets with its X11 and offscreen platforms, and
# fonts metric-compatible with the faces the window was designed in.
# comedilib lets the program drive data-acquisition cards as well as the ISA card.
# libmodbus lets it drive Modbus relay/input modules.
# help2man makes the manual page from the program's --help.
# Qt's SQL drivers keep a lab's records: SQLite on one PC, PostgreSQL for a lab of many.
# Qt Charts draws the lab window's charts (its CMake package wants Qt's OpenGL module's too).
libraries=(qt6-base-dev qt6-qpa-plugins libgl-dev libcomedi-dev libmodbus-dev libqt6sql6-sqlite
           libqt6sql6-psql qt6-charts-dev)
. /etc/os-release
[ "${VERSION_ID:-}" = 12 ] && libraries+=(libqt6opengl6-dev)
packages=(build-essential cmake fonts-liberation2 help2man)
if [ ${#cross[@]} = 0 ]; then
  packages+=("${libraries[@]}")
else
  # The libraries of the other architecture; the compiler and Qt's tools run natively, and
  # qemu-i386 runs the 32-bit programs if this kernel cannot (arch-test tells). mmdebstrap
  # makes the 32-bit root the QEMU tests' guest runs in.
  packages+=("${libraries[@]/%/:$arch}" crossbuild-essential-i386 qt6-base-dev-tools
             qemu-user-static arch-test mmdebstrap)
fi
# To test: an X server and the tools that drive the real program in it like a person.
if [ "$mode" = test ]; then
  packages+=(xvfb xauth xdotool x11-utils imagemagick)
  # A D-Bus session with the accessibility bus, and Debian's AT-SPI client for Python, to use
  # the lab window through its accessibility tree; python3-dbus and python3-gi serve a small
  # desktop notification service of the test's own.
  packages+=(dbus dbus-x11 at-spi2-core python3-pyatspi gir1.2-atspi-2.0 python3-dbus python3-gi)
  # To check that the program stays unprivileged even when someone grants it a capability.
  packages+=(libcap2-bin)
  # An independent reader of the JUnit reports of unattended runs (Debian's own python3).
  packages+=(python3-junitparser)
  # A real browser to look at the run report with.
  packages+=(chromium)
  # An independent Modbus module to test against, and a serial line made of two pseudo-terminals.
  packages+=(python3-pymodbus python3-serial python3-serial-asyncio socat)
  # Debian's own checkers of a package, a desktop entry and AppStream data, and man to read
  # the manual page with.
  packages+=(lintian desktop-file-utils appstream man-db)
  # clang with its libFuzzer and sanitizer runtimes, to fuzz the log reader and the command line.
  packages+=(clang libclang-rt-dev)
  # Prometheus' own parser of its text format, and the node exporter as a real scraper of the
  # metrics file.
  packages+=(python3-prometheus-client prometheus-node-exporter)
  # QEMU and what a small initramfs needs, to run the ISA card's path on Debian's own kernel
  # (the test fetches the kernel package with apt-get download into the build folder).
  packages+=(qemu-system-x86 busybox-static cpio kmod)
  # A real PostgreSQL server, which the lab's test starts by itself as nobody (the meta-package
  # names each release's own version).
  packages+=(postgresql)
  # A load on every core, for the pass that runs the suite on a busy machine.
  packages+=(stress-ng)
fi

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}
if [ ${#cross[@]} != 0 ]; then
  # First what runs the other architecture's programs, which the packages' own scripts run.
  install_missing qemu-user-static arch-test
  # The kernel's binfmt_misc hands 32-bit programs to qemu-i386 (the magic and mask of QEMU's
  # own qemu-binfmt-conf.sh; F: the interpreter is opened now, so it serves chroots too).
  if ! arch-test -n "$arch" > /dev/null 2>&1 && ! arch-test "$arch" > /dev/null 2>&1; then
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      $sudo tee $binfmt/register > /dev/null
    arch-test "$arch" > /dev/null || { echo "$0: this machine runs no $arch programs" >&2; exit 1; }
    echo "32-bit programs run through qemu-i386 (this kernel runs none itself)"
  fi
fi
install_missing "${packages[@]}"

cmake -S . -B "$build" "${cross[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOOPTEST_WERROR=ON
cmake --build "$build" -j"$(nproc)"

if [ "$mode" = run ]; then
  exec "./$build/looptest"
fi
# The passes of the test command. Each runs whatever an earlier one did, and says how it went
# and how long it took; the command fails when any of them failed.
passes=()
failures=0
pass() {
  local name=$1 started=$SECONDS status
  shift
  echo "=== pass: $name"
  set +e
  (set -e; "$@")
  status=$?
  set -e
  passes+=("pass $name: $([ $status = 0 ] && echo passed || echo "FAILED ($status)") in $((SECONDS - started)) s")
  [ $status = 0 ] || failures=$((failures + 1))
}

# What the passes after the first leave out: the parent-project build, the package and its
# run in QEMU time nothing, and were checked in the first; the benchmark's quick run judges no
# figure, and its table came out whole in the first.
once_only='builds_as_subdirectory|package_installs_and_purges|_on_(a_real|debian)_kernel|bench_runs'

suite() {
  cd "$build" && ctest --output-on-failure
}

# The suite once more with every core kept busy at the tests' own priority, as a machine doing
# other work would: a test that fails only then depends on the scheduler, not on a fault.
loaded() {
  stress-ng --cpu "$(nproc)" --cpu-method int64 --timeout 3600s --quiet &
  # The load ends with this pass, however it ends (the pid is fixed in the trap now).
  trap "kill $! 2> /dev/null || true" EXIT
  sleep 1
  kill -0 $!
  cd "$build" && ctest --output-on-failure -E "$once_only"
}

# The whole suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer; any
# finding fails the run.
sanitized() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOOPTEST_WERROR=ON \
    -DLOOPTEST_SANITIZE=ON
  cmake --build build-asan -j"$(nproc)"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
  cd build-asan && ctest --output-on-failure -E "$once_only"
}

# Fuzzing: the log reader with its report, and the command line with device specs, a minute
# each under libFuzzer with clang's sanitizers, from the kept seeds and regression cases.
fuzzing() {
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLOOPTEST_FUZZ=ON -DLOOPTEST_BUILD_TESTS=OFF -DLOOPTEST_BUILD_BENCH=OFF -DLOOPTEST_INSTALL=OFF
  cmake --build build-fuzz -j"$(nproc)" --target fuzz_runlog fuzz_commandline
  cd build-fuzz && ctest --output-on-failure
}

pass suite suite
# The other passes are this machine's architecture's only.
if [ "${LOOPTEST_SANITIZED:-1}" = 1 ] && [ ${#cross[@]} = 0 ]; then
  pass loaded loaded
  pass sanitizers sanitized
  pass fuzzing fuzzing
fi

echo "=== passes"
printf '%s\n' "${passes[@]}"
[ "$failures" = 0 ]
