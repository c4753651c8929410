# Debian packages fwkit (component bin), libfwkit1 (lib), fwkit-dev (dev)
# and python3-fwkit (python), built by "cpack -G DEB" in the build directory.
# Release packages come from a hardened, optimised build
# (cmake/Hardening.cmake); cpack strips the programs and the library.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwkit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The fwkit authors")
# Each component's description starts with its own synopsis line; cpack adds
# no package-wide summary in front of it only when the summary is its default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "fwkit maintainers <maintainers@fwkit.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL bin lib dev python)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")

set(CPACK_DEBIAN_BIN_PACKAGE_NAME fwkit)
set(CPACK_DEBIAN_BIN_PACKAGE_SECTION utils)
# A cross build (cmake/toolchain-*.cmake) packages for the target's
# architecture. dpkg-shlibdeps only knows the packages installed for this
# machine's, so there the run-time libraries are named as Debian 12 has them.
if(CMAKE_CROSSCOMPILING AND FWKIT_HOST_DEBIAN_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FWKIT_HOST_DEBIAN_ARCH})
  set(CPACK_DEBIAN_BIN_PACKAGE_SHLIBDEPS OFF)
  # fwkit's package module also links the installer's libinih, libblkid and
  # libubootenv, libext2fs (with com_err) for bills of materials, and libcurl
  # where the network subcommands are built.
  set(CPACK_DEBIAN_BIN_PACKAGE_DEPENDS "libc6 (>= 2.36), libgcc-s1, libssl3 (>= 3.0.0), libstdc++6 (>= 12), libzstd1 (>= 1.5.4), libinih1 (>= 55), libblkid1 (>= 2.38), libubootenv0.1 (>= 0.3.2), libext2fs2 (>= 1.47.0), libcom-err2 (>= 1.47.0)")
  if(TARGET CURL::libcurl)
    string(APPEND CPACK_DEBIAN_BIN_PACKAGE_DEPENDS ", libcurl4 (>= 7.88)")
  endif()
else()
  set(CPACK_DEBIAN_BIN_PACKAGE_SHLIBDEPS ON)
endif()
string(CONCAT CPACK_COMPONENT_BIN_DESCRIPTION
    "${PROJECT_DESCRIPTION}\n"
    "Command-line tools for people who ship firmware: fwkit, one command with\n"
    "subcommands, strict values, JSON reports and shell completion, beside the\n"
    "five programs it stands for. Its subcommands: pack, join, list and extract\n"
    "(firmware files), stamp, keygen, sign, check and delta (upgrade packages,\n"
    "their Ed25519 signatures and delta packages made against a base image),\n"
    "install, status, mark-good, mark-bad and mark-active (an A/B installer on\n"
    "the device, with the bootloader's boot counting).\n"
    "imgpack wraps a data file in a fragment header (type, release, version,\n"
    "name, build, date) guarded by CRC-16 checksums, or joins several such\n"
    "firmware files into one logical firmware file. imgunpack checks every\n"
    "checksum of a firmware file, lists its fragments or extracts their data.\n"
    "pkgstamp turns an\n"
    "image into an upgrade package: a short text header giving its size,\n"
    "type, MD5 digest and version, then the image. pkgsign signs such a\n"
    "package with an Ed25519 key; pkgcheck checks its size, digests and\n"
    "signature before the image is used, also as it arrives on a pipe.")

# The shared library: its shlibs file (programs built on it depend on this
# version or a later one) and the ldconfig trigger, as Debian's policy asks;
# the package's own postinst and postrm keep cpack from calling ldconfig
# there instead.
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libfwkit1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/libfwkit1/triggers
    ${PROJECT_SOURCE_DIR}/packaging/libfwkit1/postinst ${PROJECT_SOURCE_DIR}/packaging/libfwkit1/postrm)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
string(CONCAT CPACK_COMPONENT_LIB_DESCRIPTION
    "Firmware image and upgrade package toolkit - C library\n"
    "libfwkit checks an upgrade package as it arrives, for update clients:\n"
    "the header, its Ed25519 signatures and the device's policy are judged\n"
    "before a byte of the image is handed on, then the image's size, MD5\n"
    "and SHA-256 are checked as it passes to the caller, in memory that does\n"
    "not grow with the image. A small C API with an opaque handle.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME fwkit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
    "Firmware image and upgrade package toolkit - development files\n"
    "For programs that check upgrade packages through the C API (the header\n"
    "fwkit/fwkit.h, the link to libfwkit.so.1, pkg-config file fwkit.pc, the\n"
    "manual page fwkit(3) and an example update client), and\n"
    "for C++ programs and libraries that read and write firmware files and\n"
    "upgrade packages themselves: headers under /usr/include/fwkit, the\n"
    "static libraries libfwkit-core.a, libfwkit-firmware.a and\n"
    "libfwkit-package.a\n"
    "(position independent), the CMake package (find_package(fwkit),\n"
    "targets fwkit::capi, fwkit::firmware_file and fwkit::vorel) and the\n"
    "pkg-config file fwkit-cxx.pc.")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libfwkit1 (= ${PROJECT_VERSION}-1)")
if(TARGET OpenSSL::Crypto)
  string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ", libssl-dev (>= 3), libzstd-dev (>= 1.5.4)")
endif()

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-fwkit)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, libfwkit1 (>= ${PROJECT_VERSION})")
string(CONCAT CPACK_COMPONENT_PYTHON_DESCRIPTION
    "Firmware image and upgrade package toolkit - Python module\n"
    "The module fwkit checks an upgrade package from Python as pkgcheck does,\n"
    "from a path, bytes or a file object read chunk by chunk, and returns\n"
    "pkgcheck's JSON report as a dict. It calls libfwkit through ctypes.")

# "make package_source": sources only, no build trees or editor files.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "\\\\.swp$")

include(CPack)
