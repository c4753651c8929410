# How this machine runs another host's programs: as they are (a kernel that
# executes them, such as x86-64 with 32-bit support for i686), or under the
# host's emulator. A tiny program is built with the host's C compiler and run
# first as it is, then under FWKIT_HOST_EMULATOR; the first way that works is
# the answer. A host that runs neither way is a configuration error naming
# what to install, never a build whose tests cannot start.
#
# From a toolchain file (through CrossHost.cmake):
#   fwkit_probe_host(VARIABLE)      VARIABLE: "native" or the emulator command
# Alone, for a check of the probe itself:
#   cmake -DFWKIT_HOST_TRIPLET=T -DFWKIT_HOST_CC=CC -DFWKIT_HOST_EMULATOR="CMD;ARG"
#         -DFWKIT_HOST_NEEDS="PACKAGES" -DFWKIT_PROBE_DIR=DIR -P cmake/HostProbe.cmake

# fwkit_probe_runs(RESULT RUNNER...): RESULT is true when the probe program
# exits 0 started by RUNNER (nothing: started as it is).
function(fwkit_probe_runs result program)
  execute_process(COMMAND ${ARGN} ${program} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET
                  TIMEOUT 30)
  if(status STREQUAL "0")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(fwkit_probe_host result)
  if(NOT FWKIT_PROBE_DIR)
    set(FWKIT_PROBE_DIR ${CMAKE_BINARY_DIR}/CMakeFiles/host-probe)
  endif()
  if(NOT FWKIT_HOST_CC)
    set(FWKIT_HOST_CC ${FWKIT_HOST_TRIPLET}-gcc)
  endif()
  file(MAKE_DIRECTORY ${FWKIT_PROBE_DIR})
  set(source ${FWKIT_PROBE_DIR}/probe.c)
  set(program ${FWKIT_PROBE_DIR}/probe)
  file(WRITE ${source} "int main(void) { return 0; }\n")
  execute_process(COMMAND ${FWKIT_HOST_CC} ${source} -o ${program} RESULT_VARIABLE status
                  ERROR_VARIABLE compile_error)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${FWKIT_HOST_CC} cannot build a program: ${compile_error}")
  endif()
  fwkit_probe_runs(native ${program})
  if(native)
    set(${result} native PARENT_SCOPE)
    return()
  endif()
  if(FWKIT_HOST_EMULATOR)
    fwkit_probe_runs(emulated ${program} ${FWKIT_HOST_EMULATOR})
    if(emulated)
      set(${result} "${FWKIT_HOST_EMULATOR}" PARENT_SCOPE)
      return()
    endif()
  endif()
  list(JOIN FWKIT_HOST_EMULATOR " " emulator)
  message(FATAL_ERROR "${FWKIT_HOST_TRIPLET} programs run neither on this machine nor "
                      "under '${emulator}': install ${FWKIT_HOST_NEEDS}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  fwkit_probe_host(runner)
  list(JOIN runner " " runner)
  message(STATUS "runs: ${runner}")
endif()
