# Helpers shared by the folder CMakeLists files.

# mirtal_folder_library(<target> <dir> [EXCLUDE <regex>] [DEPS <targets...>])
# One static library per source folder. Sources are collected from the folder
# (recursively) so that new files need no edit here. A folder with no sources
# yet becomes an interface library, so dependants link against it all the same.
function(mirtal_folder_library target dir)
  cmake_parse_arguments(A "" "EXCLUDE" "DEPS;EXTRA" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  if(A_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${A_EXCLUDE}")
  endif()
  list(APPEND srcs ${A_EXTRA})
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_link_libraries(${target} PUBLIC ${A_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${A_DEPS})
  endif()
endfunction()

# mirtal_gtest(<name> SOURCES ... LIBS ... [LABELS ...] [ENV ...])
# A GoogleTest program; every TEST becomes a CTest test run in its own process
# (start-up state such as environment variables is read once per process).
#
# PORTABLE_TWIN: the cryptographic library chooses accelerated code paths at
# run time; such a program is also registered a second time (names ending in
# "/portable") with the portable paths forced, so that both run everywhere.
function(mirtal_gtest name)
  cmake_parse_arguments(A "PORTABLE_TWIN" "" "SOURCES;LIBS;LABELS;ENV;PROPERTIES" ${ARGN})
  if(A_PORTABLE_TWIN)
    list(APPEND A_SOURCES ${CMAKE_SOURCE_DIR}/tests/libtorvapp/portable_paths.cpp)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # The helpers every test folder shares (tests/common, added before the others).
  if(TARGET mirtal_testsupport)
    target_link_libraries(${name} PRIVATE mirtal_testsupport)
  endif()
  target_compile_definitions(${name} PRIVATE
    MIRTAL_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data"
    MIRTAL_BUILD_DIR="${CMAKE_BINARY_DIR}"
    MIRTAL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # Tests that start pcscd (each in a place of its own: tests/common/own_pcscd.h)
  # carry the label too; the resource lock runs them one at a time in one ctest.
  if(A_PROPERTIES MATCHES "pcscd")
    list(APPEND A_LABELS pcscd)
  endif()
  if("threads" IN_LIST A_LABELS)
    set_property(GLOBAL APPEND PROPERTY MIRTAL_THREAD_TEST_TARGETS ${name})
  endif()
  # The properties are set once the tests are known: a list value (two labels,
  # two locks, several variables) does not survive the discovery's own argument
  # passing. PROPERTIES is read as upper-case names, each followed by its values.
  set(keys TIMEOUT)
  set(val_TIMEOUT 300)
  if(A_LABELS)
    list(APPEND keys LABELS)
    set(val_LABELS ${A_LABELS})
  endif()
  if(A_ENV)
    list(APPEND keys ENVIRONMENT)
    set(val_ENVIRONMENT ${A_ENV})
  endif()
  set(key "")
  foreach(t IN LISTS A_PROPERTIES)
    if(t MATCHES "^[A-Z][A-Z_]*$" AND NOT t MATCHES "^(TRUE|FALSE|ON|OFF|YES|NO)$")
      set(key ${t})
      list(APPEND keys ${t})
      set(val_${t} "")
    elseif(key STREQUAL "")
      message(FATAL_ERROR "mirtal_gtest(${name}): PROPERTIES must begin with a property name")
    else()
      list(APPEND val_${key} "${t}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES keys)
  set(script "")
  foreach(k IN LISTS keys)
    string(APPEND script "  set_tests_properties(\${${name}_TESTS} PROPERTIES ${k} [==[${val_${k}}]==])\n")
  endforeach()
  set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  file(WRITE "${props_file}" "if(${name}_TESTS)\n${script}endif()\n")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
  if(A_PORTABLE_TWIN)
    list(APPEND keys ENVIRONMENT)
    list(REMOVE_DUPLICATES keys)
    list(APPEND val_ENVIRONMENT QV_TEST_PORTABLE_PATHS=1)
    set(script "")
    foreach(k IN LISTS keys)
      string(APPEND script "  set_tests_properties(\${${name}_TWIN_TESTS} PROPERTIES ${k} [==[${val_${k}}]==])\n")
    endforeach()
    set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_twin_properties.cmake")
    file(WRITE "${props_file}" "if(${name}_TWIN_TESTS)\n${script}endif()\n")
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 TEST_SUFFIX "/portable"
      TEST_LIST ${name}_TWIN_TESTS)
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
  endif()
endfunction()
