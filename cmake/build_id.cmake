# Writes the build id header (run at every build, so the id never goes stale):
# the override when one is given, else the checkout's commit, else 40 zeros.
# Rewritten only when the id changed, so an unchanged id recompiles nothing.
# Inputs: SOURCE (the source tree), OUT (the header), OVERRIDE (may be empty).
set(id "${OVERRIDE}")
if(id STREQUAL "")
  execute_process(COMMAND git -C "${SOURCE}" rev-parse HEAD
                  OUTPUT_VARIABLE id RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT rc EQUAL 0 OR NOT id MATCHES "^[0-9a-f]+$")
    set(id "0000000000000000000000000000000000000000")
  endif()
endif()
set(text "// Generated at build time; do not edit.\n#define LATTICE_BUILD_ID \"${id}\"\n")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
