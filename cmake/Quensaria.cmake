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
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock
                        GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES LABELS unit TIMEOUT 300)
  # A list cannot pass through PROPERTIES (its second item would be read as a
  # property name), so further labels and resource locks are set once the
  # tests are discovered.
  if(ARG_LABELS OR ARG_RESOURCE_LOCK)
    set(labels unit ${ARG_LABELS})
    set(extra "")
    if(ARG_RESOURCE_LOCK)
      set(extra " RESOURCE_LOCK \"${ARG_RESOURCE_LOCK}\"")
    endif()
    set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${label_file}
         "if(${name}_TESTS)\n"
         "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\"${extra})\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
  endif()
endfunction()
