# 32-bit x86: Debian's i686-linux-gnu-g++ cross compiler; its programs run natively
# on x86-64 (with Debian's 32-bit C and C++ runtime, libc6-i386 and lib32stdc++6).
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(FWKIT_HOST_TRIPLET i686-linux-gnu)
set(FWKIT_HOST_DEBIAN_ARCH i386)
set(FWKIT_HOST_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/CrossHost.cmake)
