# 64-bit ARM: Debian's aarch64-linux-gnu-g++ cross compiler; its programs run under
# qemu-user.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(FWKIT_HOST_TRIPLET aarch64-linux-gnu)
set(FWKIT_HOST_DEBIAN_ARCH arm64)
set(FWKIT_HOST_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(FWKIT_HOST_NEEDS qemu-user)
include(${CMAKE_CURRENT_LIST_DIR}/CrossHost.cmake)
