# RESP encoding and parsing for cluster mode.
#
# Linux: Debian's libhiredis-dev, linked in statically as liburing is.
# Windows: Debian has no mingw-w64 hiredis, so its reader and formatter come
# from the hiredis npm package (0.5.0 carries hiredis 0.12.1 under
# deps/hiredis), pinned and checked as libutp is. Only read.c, sds.c and the
# reply and formatting half of hiredis.c are built: the patch fences off the
# connection half, which needs POSIX sockets and which cluster mode does not
# use (its connections are sockets in the loop's own port).

if(NOT WIN32)
  find_library(LATTICE_HIREDIS NAMES libhiredis.a hiredis REQUIRED)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/npm_source.cmake)

# npm's integrity for the tarball is
#   sha512-fKf2yLN2hTiXWGPiJUhDFyBQ5arMb500QfF+xEodoMK/G+WxYU+ckDoMIjHK7+IDWCex1QfJz3QVCfsu557XgQ==
set(HIREDIS_TARBALL_SHA512
    "7ca7f6c8b3768538975863e2254843172050e5aacc6f9d3441f17ec44a1da0c2"
    "bf1be5b1614f9c903a0c2231caefe2035827b1d507c9cf741509fb2ee79ed781")
string(CONCAT HIREDIS_TARBALL_SHA512 ${HIREDIS_TARBALL_SHA512})
get_filename_component(HIREDIS_PATCH "${CMAKE_CURRENT_LIST_DIR}/../patches/hiredis.patch" ABSOLUTE)
npm_source(hiredis "hiredis@0.5.0" "hiredis-0.5.0.tgz" "${HIREDIS_TARBALL_SHA512}"
           "${HIREDIS_PATCH}" "package/deps/hiredis" "read.c")

add_library(hiredis STATIC
  "${HIREDIS_SOURCE_DIR}/read.c" "${HIREDIS_SOURCE_DIR}/sds.c" "${HIREDIS_SOURCE_DIR}/hiredis.c")
target_compile_definitions(hiredis PRIVATE HIREDIS_READER_ONLY)
# Third-party code: its warnings are not ours to fix.
target_compile_options(hiredis PRIVATE -w)
# Included as <hiredis/hiredis.h>, as Debian installs it.
get_filename_component(HIREDIS_INCLUDE_DIR "${HIREDIS_SOURCE_DIR}" DIRECTORY)
target_include_directories(hiredis SYSTEM INTERFACE "${HIREDIS_INCLUDE_DIR}")
set(LATTICE_HIREDIS hiredis)
