# Compiler settings and helpers shared by every folder.

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                    -Wcast-align -Wformat=2 -Wimplicit-fallthrough)
if(QUENSARIA_WERROR)
  add_compile_options(-Werror)
endif()
add_compile_definitions(_FILE_OFFSET_BITS=64 _GNU_SOURCE)

if(QUENSARIA_SANITIZE)
  add_compile_options(-fsanitize=${QUENSARIA_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QUENSARIA_SANITIZE})
endif()

find_package(Threads REQUIRED)

# quensaria_library(NAME SOURCES... [LIBS ...])
function(quensaria_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# quensaria_test(NAME SOURCES... [LIBS ...] [LABELS label] [RESOURCE_LOCK name])
# One GoogleTest binary; each test case becomes a ctest test, discovered
# when ctest runs so that sanitizer builds need not run tests at build time.
# Tests are labelled "unit" unless LABELS gives another label (such as tsan).
# RESOURCE_LOCK names a global resource (loop devices, FUSE mounts) that its
# tests must not share with other tests running at the same time.
function(quensaria_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  # CMake 3.25's test discovery flattens property lists, so a second label
  # would silently unregister every test of the binary: one label only.
  list(LENGTH ARG_LABELS label_count)
  if(label_count GREATER 1)
    message(FATAL_ERROR "quensaria_test(${name}): give at most one label")
  elseif(label_count EQUAL 1)
    set(labels ${ARG_LABELS})
  else()
    set(labels unit)
  endif()
  if(ARG_RESOURCE_LOCK)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS "${labels}" TIMEOUT 300
                                    RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS "${labels}" TIMEOUT 300)
  endif()
endfunction()
