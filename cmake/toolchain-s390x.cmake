# 64-bit IBM Z, big-endian: Debian's s390x-linux-gnu-g++ cross compiler; its
# programs run under qemu-user.
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-s390x.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(FWKIT_HOST_TRIPLET s390x-linux-gnu)
set(FWKIT_HOST_DEBIAN_ARCH s390x)
set(FWKIT_HOST_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
set(FWKIT_HOST_NEEDS qemu-user)
include(${CMAKE_CURRENT_LIST_DIR}/CrossHost.cmake)
