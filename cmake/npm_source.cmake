# Third-party C and C++ sources taken from npm packages (Debian does not
# package them for every build): fetched with `npm pack`, checked against a
# pinned sha512, unpacked and patched.
#
# Configure-time only: the tarball is fetched once per download folder, and
# the unpacked tree is rebuilt from it only when the pin or the patch changes.

# Where npm tarballs are kept; point several build trees at one folder to
# fetch each tarball once. (The name predates the second package.)
set(LIBUTP_DOWNLOAD_DIR "${CMAKE_BINARY_DIR}/_deps" CACHE PATH
    "Where the npm tarballs of third-party sources are kept")

# npm_source(NAME PACKAGE TARBALL SHA512 PATCH EXTRACT CHECK)
#   NAME     short name, for messages and the work folder _deps/NAME
#   PACKAGE  what `npm pack` is given, e.g. "utp-native@2.5.3"
#   TARBALL  the file name `npm pack` writes
#   SHA512   the tarball's sha512 in hex
#   PATCH    the patch applied with -p1 inside the work folder
#   EXTRACT  the folder of the tarball to unpack, e.g. "package/deps/libutp"
#   CHECK    a file under EXTRACT that must exist afterwards
# Sets NAME_SOURCE_DIR (upper-case NAME) in the caller to the unpacked EXTRACT.
function(npm_source name package tarball_name sha512 patch extract check)
  string(TOUPPER "${name}" upper)
  set(work "${CMAKE_BINARY_DIR}/_deps/${name}")
  set(source "${work}/${extract}")
  set(${upper}_SOURCE_DIR "${source}" PARENT_SCOPE)
  # Editing the patch must rebuild the tree, so reconfigure when it changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${patch}")

  set(tarball "${LIBUTP_DOWNLOAD_DIR}/${tarball_name}")
  set(stamp "${work}/patched.stamp")
  # The stamp records what the tree was made from; a patch edit changes it.
  file(SHA256 "${patch}" patch_hash)
  set(want_stamp "${sha512} ${patch_hash}")
  if(EXISTS "${stamp}" AND EXISTS "${source}/${check}")
    file(READ "${stamp}" have_stamp)
    if(have_stamp STREQUAL want_stamp)
      return()
    endif()
  endif()

  # A cached tarball is reused only if it still checks out.
  if(EXISTS "${tarball}")
    file(SHA512 "${tarball}" have_hash)
    if(NOT have_hash STREQUAL sha512)
      file(REMOVE "${tarball}")
    endif()
  endif()

  if(NOT EXISTS "${tarball}")
    find_program(LATTICE_NPM npm REQUIRED)
    file(MAKE_DIRECTORY "${LIBUTP_DOWNLOAD_DIR}")
    message(STATUS "${name}: fetching ${package} with npm pack")
    execute_process(
      COMMAND "${LATTICE_NPM}" pack "${package}" --ignore-scripts --loglevel=error
      WORKING_DIRECTORY "${LIBUTP_DOWNLOAD_DIR}"
      RESULT_VARIABLE rc
      OUTPUT_VARIABLE out
      ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT EXISTS "${tarball}")
      message(FATAL_ERROR "${name}: `npm pack ${package}` failed (${rc}):\n${out}${err}")
    endif()
    file(SHA512 "${tarball}" have_hash)
    if(NOT have_hash STREQUAL sha512)
      # Keep the bad file aside for a look; it is never used.
      file(RENAME "${tarball}" "${tarball}.rejected")
      message(FATAL_ERROR
        "${name}: ${tarball_name} failed its integrity check.\n"
        "  expected sha512 ${sha512}\n"
        "  got      sha512 ${have_hash}\n"
        "The file was moved to ${tarball}.rejected.")
    endif()
  endif()

  # Always patch a fresh copy, so a half-applied or older patch never lingers.
  file(REMOVE_RECURSE "${work}/package")
  file(REMOVE "${stamp}")
  file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${work}" PATTERNS "${extract}")
  if(NOT EXISTS "${source}/${check}")
    message(FATAL_ERROR "${name}: ${tarball_name} has no ${extract}/${check}")
  endif()

  find_program(LATTICE_PATCH_TOOL patch)
  if(LATTICE_PATCH_TOOL)
    set(apply "${LATTICE_PATCH_TOOL}" -p1 --forward --batch --no-backup-if-mismatch -i "${patch}")
  else()
    find_program(LATTICE_GIT git REQUIRED)
    set(apply "${LATTICE_GIT}" apply -p1 --whitespace=nowarn "${patch}")
  endif()
  execute_process(COMMAND ${apply}
    WORKING_DIRECTORY "${work}"
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name}: applying ${patch} failed (${rc}):\n${out}${err}")
  endif()
  file(WRITE "${stamp}" "${want_stamp}")
endfunction()
