# Debian packages fwkit (component bin) and fwkit-dev (component dev), built
# by "cpack -G DEB" in the build directory. Release packages come from a
# hardened, optimised build (cmake/Hardening.cmake); cpack strips the
# programs.
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
set(CPACK_COMPONENTS_ALL bin dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")

set(CPACK_DEBIAN_BIN_PACKAGE_NAME fwkit)
set(CPACK_DEBIAN_BIN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_BIN_PACKAGE_SHLIBDEPS ON)
string(CONCAT CPACK_COMPONENT_BIN_DESCRIPTION
    "${PROJECT_DESCRIPTION}\n"
    "Command-line tools for people who ship firmware: fwkit, one command with\n"
    "subcommands (pack, join, list, extract, stamp), strict values, JSON\n"
    "reports and shell completion, beside the five programs it stands for.\n"
    "imgpack wraps a data file in a fragment header (type, release, version,\n"
    "name, build, date) guarded by CRC-16 checksums, or joins several such\n"
    "firmware files into one logical firmware file. imgunpack checks every\n"
    "checksum of a firmware file, lists its fragments or extracts their data.\n"
    "pkgstamp turns an\n"
    "image into an upgrade package: a short text header giving its size,\n"
    "type, MD5 digest and version, then the image. pkgsign signs such a\n"
    "package with an Ed25519 key; pkgcheck checks its size, digests and\n"
    "signature before the image is used.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME fwkit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
    "Firmware image and upgrade package toolkit - development files\n"
    "The static libraries behind the fwkit programs, for programs and\n"
    "libraries that read and write firmware files and upgrade packages\n"
    "themselves: headers under /usr/include/fwkit, the libraries\n"
    "libfirmware_file.a and libvorel.a (position independent), the CMake\n"
    "package (find_package(fwkit), targets fwkit::firmware_file and\n"
    "fwkit::vorel) and the pkg-config file fwkit.pc.")
if(TARGET OpenSSL::Crypto)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libssl-dev (>= 3)")
endif()

# "make package_source": sources only, no build trees or editor files.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "\\\\.swp$")

include(CPack)
