# 32-bit ARM, hard float: Debian's arm-linux-gnueabihf-g++ cross compiler; its
# programs run under qemu-user.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(FWKIT_HOST_TRIPLET arm-linux-gnueabihf)
set(FWKIT_HOST_DEBIAN_ARCH armhf)
set(FWKIT_HOST_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
set(FWKIT_HOST_NEEDS qemu-user)
include(${CMAKE_CURRENT_LIST_DIR}/CrossHost.cmake)
