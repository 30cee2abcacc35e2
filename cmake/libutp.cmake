# libutp, taken from the utp-native npm package (it is not packaged by
# Debian), checked, patched and built as the static library `utp`.

include(${CMAKE_CURRENT_LIST_DIR}/npm_source.cmake)

# npm's integrity for the tarball is
#   sha512-sWTrWYXPhhWJh+cS2baPzhaZc89zwlWCfwSthUjGhLkZztyPhcQllo+XVVCbNGi7dhyRlxkWxN4NKU6FbA9Y8w==
# file(SHA512) gives hex, so this is the same digest, from
#   echo '<base64 above>' | base64 -d | od -An -tx1 | tr -d ' \n'
set(LIBUTP_TARBALL_SHA512
    "b164eb5985cf86158987e712d9b68fce169973cf73c255827f04ad8548c684b9"
    "19cedc8f85c425968f9755509b3468bb761c91971916c4de0d294e856c0f58f3")
string(CONCAT LIBUTP_TARBALL_SHA512 ${LIBUTP_TARBALL_SHA512})
get_filename_component(LIBUTP_PATCH "${CMAKE_CURRENT_LIST_DIR}/../patches/libutp.patch" ABSOLUTE)
npm_source(libutp "utp-native@2.5.3" "utp-native-2.5.3.tgz" "${LIBUTP_TARBALL_SHA512}"
           "${LIBUTP_PATCH}" "package/deps/libutp" "utp.h")

set(_libutp_sources
  utp_api.cpp utp_callbacks.cpp utp_hash.cpp utp_internal.cpp
  utp_packedsockaddr.cpp utp_utils.cpp)
if(WIN32)
  list(APPEND _libutp_sources libutp_inet_ntop.cpp)
endif()
list(TRANSFORM _libutp_sources PREPEND "${LIBUTP_SOURCE_DIR}/")

add_library(utp STATIC ${_libutp_sources})
# SYSTEM keeps the library's header warnings out of our own targets too.
target_include_directories(utp SYSTEM PUBLIC "${LIBUTP_SOURCE_DIR}")
# utp_types.h picks its socket headers and typedefs from these, so users of
# utp.h need the same define as the library.
if(WIN32)
  target_compile_definitions(utp PUBLIC WIN32)
  target_link_libraries(utp PUBLIC ws2_32)
else()
  target_compile_definitions(utp PUBLIC POSIX)
endif()
# Third-party code: its warnings are not ours to fix.
target_compile_options(utp PRIVATE -w)
# The patched table uses std::unordered_map::emplace.
target_compile_features(utp PRIVATE cxx_std_11)
# The library's own assertions check how it is called; they stay on in Debug
# builds (the sanitizer build runs the tests against them) and follow the
# build type's NDEBUG elsewhere.
target_compile_definitions(utp PRIVATE $<$<NOT:$<CONFIG:Debug>>:NDEBUG>)
