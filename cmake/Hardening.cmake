# Hardening for every build that is not a sanitizer build: the programs parse JSON
# from anyone on the LAN, so they get what Debian's dpkg-buildflags gives a package
# built with hardening=+all (Debian 12):
#   -D_FORTIFY_SOURCE=2                 checked string and memory functions; needs an
#                                       optimised build, so not in Debug (where glibc
#                                       would only warn that it does nothing)
#   -fstack-protector-strong            canaries in every function with arrays or
#                                       addresses of locals
#   -Wformat -Werror=format-security    no printf format taken from data
#   -Wdate-time                         no __DATE__/__TIME__ (the same sources give
#                                       the same program)
#   -Wl,-z,relro -Wl,-z,now             relocations resolved at start, then read-only
#   PIE                                 position-independent executables (address
#                                       randomisation of the program itself)
# Sanitizer builds keep their own flags: the sanitizers replace the checked
# functions and the canaries, and fortified calls hide accesses from them.
if(NOT BRENU_SANITIZE STREQUAL "")
  return()
endif()
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security -Wdate-time)
add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
