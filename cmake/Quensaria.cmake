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

# quensaria_test(NAME SOURCES... [LIBS ...] [LABELS ...] [RESOURCE_LOCK ...])
# One GoogleTest binary; each test case becomes a ctest test, discovered
# when ctest runs so that sanitizer builds need not run tests at build time.
# Every test is labelled "unit"; LABELS adds more (such as tsan or qemu).
# RESOURCE_LOCK names the global resources (loop devices, FUSE mounts) that
# its tests must not share with other tests running at the same time.
function(quensaria_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  quensaria_uses_test_helpers(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES LABELS unit TIMEOUT 300)
  if(ARG_LABELS OR ARG_RESOURCE_LOCK)
    _quensaria_test_labels(${name} "unit;${ARG_LABELS}" "${ARG_RESOURCE_LOCK}")
  endif()
endfunction()

# A list cannot pass through gtest_discover_tests' PROPERTIES (its second item
# would be read as a property name), so further labels and resource locks are
# set once the tests are discovered.
function(_quensaria_test_labels name labels resource_lock)
  set(extra "")
  if(resource_lock)
    set(extra " RESOURCE_LOCK \"${resource_lock}\"")
  endif()
  set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_file}
       "if(${name}_TESTS)\n"
       "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\"${extra})\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
endfunction()

# quensaria_qt_test(NAME SOURCES... LIBS ... [RESOURCE_LOCK ...]): a
# GoogleTest binary with a QApplication (tests/qt_main_for_testing.cpp) on the
# offscreen platform, for widget and D-Bus tests. Not labelled tsan: Qt's own
# threads are outside what that tree checks.
function(quensaria_qt_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${CMAKE_SOURCE_DIR}/tests/qt_main_for_testing.cpp)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  quensaria_uses_test_helpers(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Widgets Qt6::Test GTest::gtest
                        GTest::gmock Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES LABELS unit TIMEOUT 300 ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  if(ARG_RESOURCE_LOCK)
    _quensaria_test_labels(${name} unit "${ARG_RESOURCE_LOCK}")
  endif()
endfunction()

# Test helpers (files and libraries whose names end in _for_testing) stay out
# of the programs that ship. An executable that may use them says so with
# quensaria_uses_test_helpers(): tests (quensaria_test marks its own), the
# stand-ins they start, and the developer tools built on them (benchmarks,
# screenshot tools), none of which is installed.
function(quensaria_uses_test_helpers)
  set_property(TARGET ${ARGN} PROPERTY QUENSARIA_USES_TEST_HELPERS ON)
endfunction()

function(_quensaria_executables directory out)
  set(found "")
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirectories DIRECTORY ${directory} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory ${subdirectories})
    _quensaria_executables(${subdirectory} below)
    list(APPEND found ${below})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Why `target` (a program or one of its libraries) brings a test helper in,
# or nothing: its name, one of its sources, or an include of a
# *_for_testing.h header in a source or the header beside it.
function(_quensaria_test_helper_use target out)
  set(${out} "" PARENT_SCOPE)
  if(target MATCHES "_for_testing$")
    set(${out} "links ${target}" PARENT_SCOPE)
    return()
  endif()
  get_target_property(sources ${target} SOURCES)
  get_target_property(directory ${target} SOURCE_DIR)
  foreach(source ${sources})
    if(source MATCHES "_for_testing")
      set(${out} "${target} builds ${source}" PARENT_SCOPE)
      return()
    endif()
    if(NOT IS_ABSOLUTE "${source}")
      set(source ${directory}/${source})
    endif()
    if(NOT source MATCHES "\\.cpp$")
      continue()
    endif()
    string(REGEX REPLACE "\\.cpp$" ".h" header ${source})
    foreach(file ${source} ${header})
      if(EXISTS ${file})
        file(STRINGS ${file} includes REGEX "^#include [\"<][^\">]*_for_testing\\.h[\">]")
        if(includes)
          set(${out} "${file} has ${includes}" PARENT_SCOPE)
          return()
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()

# Fails configuration when an executable not marked by
# quensaria_uses_test_helpers() uses a test helper, directly or through the
# libraries it links. Called once, at the end of the top-level CMakeLists.
function(quensaria_check_programs)
  _quensaria_executables(${CMAKE_SOURCE_DIR} programs)
  foreach(program ${programs})
    get_target_property(allowed ${program} QUENSARIA_USES_TEST_HELPERS)
    if(allowed)
      continue()
    endif()
    set(pending ${program})
    set(seen "")
    while(pending)
      list(POP_FRONT pending target)
      if(target IN_LIST seen)
        continue()
      endif()
      list(APPEND seen ${target})
      _quensaria_test_helper_use(${target} use)
      if(use)
        message(FATAL_ERROR "The program ${program} uses a test helper: ${use}. "
                "Test helpers are for tests and the tools marked by quensaria_uses_test_helpers().")
      endif()
      get_target_property(direct ${target} LINK_LIBRARIES)
      get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
      foreach(library ${direct} ${interface})
        if(TARGET ${library})
          get_target_property(imported ${library} IMPORTED)
          if(NOT imported)
            list(APPEND pending ${library})
          endif()
        endif()
      endforeach()
    endwhile()
  endforeach()
endfunction()
