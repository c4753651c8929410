# Install rules and the Debian packages.
#
#   cmake --install build --prefix /usr          (DESTDIR is honoured)
#   cd build && cpack -G DEB                     (fwkit, libfwkit1, fwkit-dev,
#                                                 python3-fwkit *.deb)
#
# Four components, packaged as Debian splits them:
#   bin    -> package fwkit:         the programs, their manual pages, README
#   lib    -> package libfwkit1:     the C API's shared library libfwkit.so.1
#   dev    -> package fwkit-dev:     headers under include/fwkit, the static
#             libraries, the link libfwkit.so, the CMake package
#             (find_package(fwkit)), fwkit.pc (C) and fwkit-cxx.pc (C++),
#             fwkit(3) and the C example it shows
#   python -> package python3-fwkit: the Python module over libfwkit.so.1
# Each package's doc directory holds the copyright file and the changelog.
# Manual pages and changelogs are compressed with "gzip -9n" at build time, as
# Debian expects them (no name or time stamp in the gzip header, so the
# packages are reproducible).

include(CMakePackageConfigHelpers)
set(FWKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fwkit)
# Debian's place for Python modules of every Python 3 version.
set(FWKIT_PYTHON_DIR lib/python3/dist-packages CACHE PATH "Python modules, below the prefix")

# A stripped install (cpack, cmake --install --strip) also drops the
# compiler's identification (.comment) from the programs, and the debugging
# information and .comment from the static libraries, as Debian's packages do.
# fwkit_install_strip(<component> <directory> <objcopy options> <targets>...)
function(fwkit_install_strip component dir option)
  foreach(target ${ARGN})
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" ${option}
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/$<TARGET_FILE_NAME:${target}>\"
          COMMAND_ERROR_IS_FATAL ANY)
      endif()" COMPONENT ${component})
  endforeach()
endfunction()

# --- programs ----------------------------------------------------------------
if(FWKIT_PROGRAM_NAMES)
  install(TARGETS ${FWKIT_PROGRAM_NAMES} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT bin)
  fwkit_install_strip(bin ${CMAKE_INSTALL_BINDIR} --remove-section=.comment ${FWKIT_PROGRAM_NAMES})
endif()
# fwkit's package and network modules, in its private directory: a plain data file to the
# loader (mode 0644), no library anyone links.
if(TARGET fwkit_package)
  install(TARGETS fwkit_package LIBRARY DESTINATION ${FWKIT_MODULE_DIR} COMPONENT bin
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  fwkit_install_strip(bin ${FWKIT_MODULE_DIR} --remove-section=.comment fwkit_package)
  install(TARGETS fwkit_net LIBRARY DESTINATION ${FWKIT_MODULE_DIR} COMPONENT bin
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  fwkit_install_strip(bin ${FWKIT_MODULE_DIR} --remove-section=.comment fwkit_net)
endif()

# Shell completion for fwkit, where bash-completion and zsh look for it.
if(TARGET fwkit)
  install(FILES ${PROJECT_SOURCE_DIR}/cli/completion/fwkit.bash
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME fwkit
          COMPONENT bin)
  install(FILES ${PROJECT_SOURCE_DIR}/cli/completion/_fwkit
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/zsh/vendor-completions COMPONENT bin)
endif()

# gzip -9n at build time: fwkit_gzip(<source> <output name> <list variable>)
find_program(FWKIT_GZIP gzip REQUIRED)
function(fwkit_gzip source name list)
  set(out ${PROJECT_BINARY_DIR}/gz/${name})
  add_custom_command(
    OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${out}
    COMMAND ${FWKIT_GZIP} -9nf ${out}
    DEPENDS ${source}
    COMMENT "Compressing ${name}"
    VERBATIM)
  set(${list} ${${list}} ${out}.gz PARENT_SCOPE)
endfunction()

set(FWKIT_MAN_PAGES "")
foreach(tool ${FWKIT_PROGRAM_NAMES})
  if(EXISTS ${PROJECT_SOURCE_DIR}/man/${tool}.1)
    fwkit_gzip(${PROJECT_SOURCE_DIR}/man/${tool}.1 ${tool}.1 FWKIT_MAN_PAGES)
  endif()
endforeach()
# The installer's guide for integrators, fwkit-install(7), beside fwkit(1).
set(FWKIT_MAN7_PAGES "")
if(TARGET fwkit)
  fwkit_gzip(${PROJECT_SOURCE_DIR}/man/fwkit-install.7 fwkit-install.7 FWKIT_MAN7_PAGES)
endif()
# The C API's page, fwkit(3), goes with its header into fwkit-dev.
set(FWKIT_MAN3_PAGES "")
fwkit_gzip(${PROJECT_SOURCE_DIR}/man/fwkit.3 fwkit.3 FWKIT_MAN3_PAGES)
set(FWKIT_CHANGELOG "")
fwkit_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog changelog.Debian FWKIT_CHANGELOG)
add_custom_target(fwkit_compressed_docs ALL DEPENDS ${FWKIT_MAN_PAGES} ${FWKIT_MAN7_PAGES}
                  ${FWKIT_MAN3_PAGES} ${FWKIT_CHANGELOG})

if(FWKIT_MAN_PAGES)
  install(FILES ${FWKIT_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT bin)
endif()
if(FWKIT_MAN7_PAGES)
  install(FILES ${FWKIT_MAN7_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man7 COMPONENT bin)
  # The reference boot script and GRUB fragment the integrator copies onto the
  # device's boot partition (fwkit-install(7)).
  install(FILES ${PROJECT_SOURCE_DIR}/install/boot/boot.cmd ${PROJECT_SOURCE_DIR}/install/boot/grub.cfg
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/fwkit/boot COMPONENT bin)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT bin)
install(FILES ${FWKIT_MAN3_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
# The update client of fwkit(3)'s example, whole, beside the C API's header.
install(FILES ${PROJECT_SOURCE_DIR}/docs/example.c
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/fwkit-dev/examples COMPONENT dev)
foreach(component_package bin:fwkit lib:libfwkit1 dev:fwkit-dev python:python3-fwkit)
  string(REPLACE ":" ";" component_package ${component_package})
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${FWKIT_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
# The generator of bills of materials names the dpkg status it reads in an image.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/fwkit/lintian-overrides RENAME fwkit
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT bin)

# --- the C API and the Python module over it ---------------------------------
install(TARGETS fwkit_c EXPORT fwkitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/python/fwkit/__init__.py
        DESTINATION ${FWKIT_PYTHON_DIR}/fwkit COMPONENT python)

# --- libraries for users: headers, static libraries, CMake package ----------
get_property(FWKIT_PUBLIC_HEADERS GLOBAL PROPERTY FWKIT_PUBLIC_HEADERS)
install(FILES ${FWKIT_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/fwkit COMPONENT dev)
install(TARGETS corelib firmware_file vorel EXPORT fwkitTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
fwkit_install_strip(dev ${CMAKE_INSTALL_LIBDIR} "--strip-debug --remove-section=.comment -D"
                    corelib firmware_file vorel)
install(EXPORT fwkitTargets NAMESPACE fwkit:: DESTINATION ${FWKIT_CMAKE_DIR} COMPONENT dev)

# The C++ libraries are static: whatever they link privately must be found
# again by their users, OpenSSL's libcrypto, libzstd (linked by name) and the
# threads library (the package digests run on two threads), and is named in
# fwkit-cxx.pc's Libs,
# so that a plain pkg-config --libs links.
set(FWKIT_FIND_DEPENDENCIES "find_dependency(Threads)\n")
set(FWKIT_PC_REQUIRES "")
if(TARGET OpenSSL::Crypto)
  string(APPEND FWKIT_FIND_DEPENDENCIES "find_dependency(OpenSSL 3 COMPONENTS Crypto)\n")
  set(FWKIT_PC_REQUIRES "Requires: libcrypto libzstd")
endif()
configure_package_config_file(cmake/fwkitConfig.cmake.in ${PROJECT_BINARY_DIR}/fwkitConfig.cmake
                              INSTALL_DESTINATION ${FWKIT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/fwkitConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/fwkitConfig.cmake ${PROJECT_BINARY_DIR}/fwkitConfigVersion.cmake
        DESTINATION ${FWKIT_CMAKE_DIR} COMPONENT dev)

# The pkg-config files name the prefix the files are installed under, as
# Debian's do (prefix=/usr), so that pkg-config prints plain paths; it is the
# prefix of "cmake --install" or cpack, known only at install time, so each
# file is written then from its configured form. A staged installation is
# used with PKG_CONFIG_SYSROOT_DIR set to the staging directory. fwkit.pc is
# for the C API's shared library, fwkit-cxx.pc for the static C++ libraries.
set(FWKIT_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(FWKIT_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
foreach(pc fwkit fwkit-cxx)
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/pc/${pc}.pc.in @ONLY)
  install(CODE "
    configure_file(\"${PROJECT_BINARY_DIR}/pc/${pc}.pc.in\" \"${PROJECT_BINARY_DIR}/pc/${pc}.pc\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${FWKIT_PC_DIR}\" TYPE FILE
         FILES \"${PROJECT_BINARY_DIR}/pc/${pc}.pc\")" COMPONENT dev)
endforeach()

# --- Debian packages ---------------------------------------------------------
if(PROJECT_IS_TOP_LEVEL)
  include(cmake/Package.cmake)
endif()
