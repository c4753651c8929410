# Install rules and the Debian package.
#
#   cmake --install build --prefix /usr          (DESTDIR is honoured)
#   cd build && cpack -G DEB                     (fwkit_<version>-1_<arch>.deb)
#
# Only the programs that exist in this tree are installed, each with its
# manual page. Manual pages are compressed with "gzip -9n" at build time, as
# Debian expects them (no name or time stamp in the gzip header, so the
# package is reproducible).

include(GNUInstallDirs)

set(FWKIT_PROGRAMS "")
foreach(tool imgpack imgunpack pkgstamp pkgsign pkgcheck)
  if(TARGET ${tool})
    list(APPEND FWKIT_PROGRAMS ${tool})
  endif()
endforeach()

if(FWKIT_PROGRAMS)
  install(TARGETS ${FWKIT_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages: man/<program>.1 -> <build>/man/<program>.1.gz
find_program(FWKIT_GZIP gzip)
set(FWKIT_MAN_PAGES "")
foreach(tool ${FWKIT_PROGRAMS})
  set(page_src ${PROJECT_SOURCE_DIR}/man/${tool}.1)
  if(NOT EXISTS ${page_src})
    continue()
  endif()
  if(FWKIT_GZIP)
    set(page_out ${PROJECT_BINARY_DIR}/man/${tool}.1)
    add_custom_command(
      OUTPUT ${page_out}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E copy ${page_src} ${page_out}
      COMMAND ${FWKIT_GZIP} -9nf ${page_out}
      DEPENDS ${page_src}
      COMMENT "Compressing manual page ${tool}.1"
      VERBATIM)
    list(APPEND FWKIT_MAN_PAGES ${page_out}.gz)
  else()
    message(STATUS "gzip not found: manual pages are installed uncompressed")
    list(APPEND FWKIT_MAN_PAGES ${page_src})
  endif()
endforeach()

if(FWKIT_MAN_PAGES)
  add_custom_target(fwkit_man_pages ALL DEPENDS ${FWKIT_MAN_PAGES})
  install(FILES ${FWKIT_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwkit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fwkit developers")
set(CPACK_PACKAGE_CONTACT "fwkit maintainers <maintainers@fwkit.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The extended description, wrapped for the control file.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Command-line tools for people who ship firmware:\n"
  " - imgpack wraps a data file in a fragment header (type, release,\n"
  "   version, name, build, date) guarded by CRC-16 checksums, or joins\n"
  "   several such firmware files into one logical firmware file;\n"
  " - imgunpack checks every checksum of a firmware file, lists its\n"
  "   fragments or extracts their data;\n"
  " - pkgstamp turns an image into an upgrade package: a short text header\n"
  "   giving its size, type, MD5 digest and version, then the image.\n")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# "make package_source": sources only, no build trees or editor files.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "\\\\.swp$")

include(CPack)
