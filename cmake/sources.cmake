# The tracker's sources: portable folders plus the folder of this platform.
set(LATTICE_SRC ${PROJECT_SOURCE_DIR}/src)
set(LATTICE_PLATFORM ${LATTICE_SRC}/platform/${LATTICE_PLATFORM_DIR})

file(GLOB LATTICE_CORE_SOURCES CONFIGURE_DEPENDS
  ${LATTICE_SRC}/log/*.cpp
  ${LATTICE_SRC}/tracker/*.cpp
  ${LATTICE_SRC}/net/*.cpp
  ${LATTICE_SRC}/app/*.cpp
  ${LATTICE_PLATFORM}/*.cpp)
list(FILTER LATTICE_CORE_SOURCES EXCLUDE REGEX ".*/entry_point\\.cpp$")
file(GLOB LATTICE_CLUSTER_SOURCES CONFIGURE_DEPENDS ${LATTICE_SRC}/cluster/*.cpp)
list(APPEND LATTICE_CORE_SOURCES ${LATTICE_CLUSTER_SOURCES})

add_library(lattice_core STATIC ${LATTICE_CORE_SOURCES})
target_include_directories(lattice_core PUBLIC ${LATTICE_SRC} ${LATTICE_PLATFORM})
# Regenerated at every build; only the file that reads it recompiles when the
# commit changes.
set(LATTICE_GENERATED ${CMAKE_BINARY_DIR}/generated)
add_custom_target(lattice_build_id
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR} -DOUT=${LATTICE_GENERATED}/build_id.h
          -DOVERRIDE=${LATTICE_BUILD_ID} -P ${PROJECT_SOURCE_DIR}/cmake/build_id.cmake
  BYPRODUCTS ${LATTICE_GENERATED}/build_id.h
  VERBATIM)
add_dependencies(lattice_core lattice_build_id)
target_include_directories(lattice_core PRIVATE ${LATTICE_GENERATED})
# The cluster's function library goes into the binary, so a node loads the
# very functions it was built with.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LATTICE_SRC}/cluster/registry.lua)
file(READ ${LATTICE_SRC}/cluster/registry.lua LATTICE_REGISTRY_LUA)
configure_file(${PROJECT_SOURCE_DIR}/cmake/registry_library.h.in ${LATTICE_GENERATED}/registry_library.h @ONLY)
find_package(Threads REQUIRED)
target_link_libraries(lattice_core PUBLIC Threads::Threads utp)
if(NOT WIN32)
  # Linked in, so the program needs nothing from liburing at run time.
  find_library(LATTICE_LIBURING NAMES liburing.a uring REQUIRED)
  find_path(LATTICE_LIBURING_INCLUDE liburing.h REQUIRED)
  target_include_directories(lattice_core PRIVATE ${LATTICE_LIBURING_INCLUDE})
  target_link_libraries(lattice_core PUBLIC ${LATTICE_LIBURING})
endif()
include(${PROJECT_SOURCE_DIR}/cmake/hiredis.cmake)
target_link_libraries(lattice_core PUBLIC ${LATTICE_HIREDIS})
if(WIN32)
  target_link_libraries(lattice_core PUBLIC ws2_32 mswsock advapi32 user32 psapi)
  # Vista is the oldest system with GetQueuedCompletionStatusEx, CancelIoEx
  # and the token's elevation flag; lean headers keep winsock.h out.
  target_compile_definitions(lattice_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0600)
endif()

add_executable(corvane-lattice-tracker ${LATTICE_PLATFORM}/entry_point.cpp)
target_link_libraries(corvane-lattice-tracker PRIVATE lattice_core)
if(WIN32)
  # A windowed program: it has no console until it makes one itself.
  target_link_options(corvane-lattice-tracker PRIVATE -mwindows -municode -static)
endif()
