# Shared part of the toolchain files cmake/toolchain-<arch>.cmake, which set
# FWKIT_HOST_TRIPLET (the GNU triplet of Debian's cross compiler),
# FWKIT_HOST_DEBIAN_ARCH (the Debian architecture, which names the packages),
# FWKIT_HOST_MULTIARCH where Debian's multiarch directories are named otherwise
# than the triplet
# FWKIT_HOST_EMULATOR (how a program for that host runs here when this
# machine's kernel cannot run it as it is) and FWKIT_HOST_NEEDS (the Debian
# packages that make it run here) before including this file.
#
# Libraries for the target that are not installed for it on the build machine
# (libcrypto, GoogleTest, nlohmann/json) are found under FWKIT_TARGET_ROOT, a
# directory holding the target's Debian packages unpacked (dpkg -x), as
# scripts/test-hosts makes it. Without it they are looked for in the cross
# compiler's own tree and in the multiarch directories of the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${FWKIT_HOST_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${FWKIT_HOST_TRIPLET}-g++)
if(NOT FWKIT_HOST_MULTIARCH)
  set(FWKIT_HOST_MULTIARCH ${FWKIT_HOST_TRIPLET})
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${FWKIT_HOST_MULTIARCH})

if(NOT DEFINED FWKIT_TARGET_ROOT AND DEFINED ENV{FWKIT_TARGET_ROOT})
  set(FWKIT_TARGET_ROOT $ENV{FWKIT_TARGET_ROOT})
endif()
set(FWKIT_TARGET_ROOT "${FWKIT_TARGET_ROOT}" CACHE PATH "Unpacked target packages")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FWKIT_TARGET_ROOT)

set(CMAKE_FIND_ROOT_PATH /usr/${FWKIT_HOST_TRIPLET})
if(FWKIT_TARGET_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${FWKIT_TARGET_ROOT})
  # Debian keeps each architecture's configuration headers beside the
  # common ones; the cross compiler only looks in its own tree.
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${FWKIT_TARGET_ROOT}/usr/include/${FWKIT_HOST_MULTIARCH})
  # pkg-config (which FindOpenSSL asks first) describes the target's
  # libraries, not the build machine's.
  set(ENV{PKG_CONFIG_LIBDIR}
      "${FWKIT_TARGET_ROOT}/usr/lib/${FWKIT_HOST_MULTIARCH}/pkgconfig:${FWKIT_TARGET_ROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${FWKIT_TARGET_ROOT})
  # Libraries there that need others of the root (libubootenv needs libz,
  # which Debian keeps in /lib) are resolved there when linking, and when the
  # build's programs run here: an RPATH, unlike a RUNPATH, also serves the
  # libraries' own dependencies.
  # Loadable modules (fwkit's package module, which links libext2fs from /lib)
  # alike.
  foreach(kind EXE SHARED MODULE)
    foreach(dir lib usr/lib)
      set(dir ${FWKIT_TARGET_ROOT}/${dir}/${FWKIT_HOST_MULTIARCH})
      string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -Wl,-rpath-link,${dir} -Wl,-rpath,${dir}")
    endforeach()
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -Wl,--disable-new-dtags")
  endforeach()
else()
  list(APPEND CMAKE_FIND_ROOT_PATH /)
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${FWKIT_HOST_MULTIARCH}/pkgconfig:/usr/share/pkgconfig")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs, test discovery and the programs the end-to-end tests start
# run through the emulator unless this machine runs the host's programs as
# they are; the probe runs once per build directory (FWKIT_HOST_RUNNER, also
# given to the projects CMake builds to try the compiler).
include(${CMAKE_CURRENT_LIST_DIR}/HostProbe.cmake)
if(NOT DEFINED FWKIT_HOST_RUNNER)
  fwkit_probe_host(runner)
  set(FWKIT_HOST_RUNNER "${runner}" CACHE INTERNAL "native, or how a host program runs here")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FWKIT_HOST_RUNNER)
if(NOT FWKIT_HOST_RUNNER STREQUAL "native")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FWKIT_HOST_RUNNER})
endif()
