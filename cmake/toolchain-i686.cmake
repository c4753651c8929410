# 32-bit x86: Debian's i686-linux-gnu-g++ cross compiler. Its programs run as
# they are on an x86-64 kernel with 32-bit support (with Debian's 32-bit C and
# C++ runtime, libc6-i386 and lib32stdc++6), otherwise under qemu-i386 with
# that same runtime: with -L /usr/i686-linux-gnu every program that starts a
# thread hangs under qemu-i386.
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(FWKIT_HOST_TRIPLET i686-linux-gnu)
set(FWKIT_HOST_DEBIAN_ARCH i386)
set(FWKIT_HOST_MULTIARCH i386-linux-gnu)
set(FWKIT_HOST_EMULATOR qemu-i386)
set(FWKIT_HOST_NEEDS "libc6-i386 lib32stdc++6 lib32gcc-s1, and qemu-user where the kernel cannot run 32-bit programs")
include(${CMAKE_CURRENT_LIST_DIR}/CrossHost.cmake)
