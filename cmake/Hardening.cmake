# Hardened code for the programs and libraries, as Debian builds its packages:
# stack protector, checked string and memory functions (these need an
# optimised build), a read-only relocation table bound at start-up, and
# position-independent executables.
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong)
add_compile_definitions(
  $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
