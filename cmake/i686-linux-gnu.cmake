# Builds for 32-bit x86 (Debian's i386) with Debian's cross compiler, against the i386 libraries
# of a multiarch system (dpkg --add-architecture i386; qt6-base-dev:i386 and the rest), with the
# machine's own Qt tools (moc, uic, rcc) and CMake:
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
# Tests run the 32-bit programs through qemu-i386 when the machine cannot run them itself
# (scripts/setup.sh does this for LOOPTEST_ARCH=i386).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Qt's tools are the build machine's; its libraries and CMake files are i386's.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/i386-linux-gnu/cmake)
# The Debian package is an i386 one.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
