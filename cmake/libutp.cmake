# libutp, taken from the utp-native npm package (it is not packaged by
# Debian), checked, patched and built as the static library `utp`.
#
# Configure-time only: the tarball is fetched with `npm pack` once per build
# tree (or once per LIBUTP_DOWNLOAD_DIR if several trees share one), and the
# unpacked tree is rebuilt from it only when the patch changes.

set(LIBUTP_NPM_PACKAGE "utp-native@2.5.3")
set(LIBUTP_TARBALL_NAME "utp-native-2.5.3.tgz")
# npm's integrity for the tarball is
#   sha512-sWTrWYXPhhWJh+cS2baPzhaZc89zwlWCfwSthUjGhLkZztyPhcQllo+XVVCbNGi7dhyRlxkWxN4NKU6FbA9Y8w==
# file(SHA512) gives hex, so this is the same digest, from
#   echo '<base64 above>' | base64 -d | od -An -tx1 | tr -d ' \n'
set(LIBUTP_TARBALL_SHA512
    "b164eb5985cf86158987e712d9b68fce169973cf73c255827f04ad8548c684b9"
    "19cedc8f85c425968f9755509b3468bb761c91971916c4de0d294e856c0f58f3")
string(CONCAT LIBUTP_TARBALL_SHA512 ${LIBUTP_TARBALL_SHA512})

set(LIBUTP_PATCH "${CMAKE_CURRENT_LIST_DIR}/../patches/libutp.patch")
get_filename_component(LIBUTP_PATCH "${LIBUTP_PATCH}" ABSOLUTE)

set(LIBUTP_WORK_DIR "${CMAKE_BINARY_DIR}/_deps/libutp")
set(LIBUTP_DOWNLOAD_DIR "${LIBUTP_WORK_DIR}" CACHE PATH
    "Where the utp-native tarball is kept; point several build trees at one folder to fetch it once")
set(LIBUTP_SOURCE_DIR "${LIBUTP_WORK_DIR}/package/deps/libutp")

# Editing the patch must rebuild the tree, so reconfigure when it changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${LIBUTP_PATCH}")

function(_libutp_prepare)
  set(tarball "${LIBUTP_DOWNLOAD_DIR}/${LIBUTP_TARBALL_NAME}")
  set(stamp "${LIBUTP_WORK_DIR}/patched.stamp")

  # The stamp records what the tree was made from; a patch edit changes it.
  file(SHA256 "${LIBUTP_PATCH}" patch_hash)
  set(want_stamp "${LIBUTP_TARBALL_SHA512} ${patch_hash}")
  if(EXISTS "${stamp}" AND EXISTS "${LIBUTP_SOURCE_DIR}/utp.h")
    file(READ "${stamp}" have_stamp)
    if(have_stamp STREQUAL want_stamp)
      return()
    endif()
  endif()

  # A cached tarball is reused only if it still checks out.
  if(EXISTS "${tarball}")
    file(SHA512 "${tarball}" have_hash)
    if(NOT have_hash STREQUAL LIBUTP_TARBALL_SHA512)
      file(REMOVE "${tarball}")
    endif()
  endif()

  if(NOT EXISTS "${tarball}")
    find_program(LIBUTP_NPM npm REQUIRED)
    file(MAKE_DIRECTORY "${LIBUTP_DOWNLOAD_DIR}")
    message(STATUS "libutp: fetching ${LIBUTP_NPM_PACKAGE} with npm pack")
    execute_process(
      COMMAND "${LIBUTP_NPM}" pack "${LIBUTP_NPM_PACKAGE}" --ignore-scripts --loglevel=error
      WORKING_DIRECTORY "${LIBUTP_DOWNLOAD_DIR}"
      RESULT_VARIABLE rc
      OUTPUT_VARIABLE out
      ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT EXISTS "${tarball}")
      message(FATAL_ERROR "libutp: `npm pack ${LIBUTP_NPM_PACKAGE}` failed (${rc}):\n${out}${err}")
    endif()
    file(SHA512 "${tarball}" have_hash)
    if(NOT have_hash STREQUAL LIBUTP_TARBALL_SHA512)
      # Keep the bad file aside for a look; it is never used.
      file(RENAME "${tarball}" "${tarball}.rejected")
      message(FATAL_ERROR
        "libutp: ${LIBUTP_TARBALL_NAME} failed its integrity check.\n"
        "  expected sha512 ${LIBUTP_TARBALL_SHA512}\n"
        "  got      sha512 ${have_hash}\n"
        "The file was moved to ${tarball}.rejected.")
    endif()
  endif()

  # Always patch a fresh copy, so a half-applied or older patch never lingers.
  file(REMOVE_RECURSE "${LIBUTP_WORK_DIR}/package")
  file(REMOVE "${stamp}")
  file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${LIBUTP_WORK_DIR}"
       PATTERNS "package/deps/libutp")
  if(NOT EXISTS "${LIBUTP_SOURCE_DIR}/utp.h")
    message(FATAL_ERROR "libutp: ${LIBUTP_TARBALL_NAME} has no package/deps/libutp")
  endif()

  find_program(LIBUTP_PATCH_TOOL patch)
  if(LIBUTP_PATCH_TOOL)
    set(apply "${LIBUTP_PATCH_TOOL}" -p1 --forward --batch --no-backup-if-mismatch -i "${LIBUTP_PATCH}")
  else()
    find_program(LIBUTP_GIT git REQUIRED)
    set(apply "${LIBUTP_GIT}" apply -p1 --whitespace=nowarn "${LIBUTP_PATCH}")
  endif()
  execute_process(COMMAND ${apply}
    WORKING_DIRECTORY "${LIBUTP_WORK_DIR}"
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "libutp: applying ${LIBUTP_PATCH} failed (${rc}):\n${out}${err}")
  endif()
  file(WRITE "${stamp}" "${want_stamp}")
endfunction()

_libutp_prepare()

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
