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
function(mirtal_gtest name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS;ENV;PROPERTIES" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    MIRTAL_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data"
    MIRTAL_BUILD_DIR="${CMAKE_BINARY_DIR}"
    MIRTAL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set(props TIMEOUT 300)
  # Tests that start pcscd, or that expect none to run, carry the label too, so
  # that runs in several build trees on one machine can serialise them
  # (ctest -L pcscd under a file lock); the resource lock only works inside one ctest.
  if(A_PROPERTIES MATCHES "pcscd")
    list(APPEND A_LABELS pcscd)
  endif()
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  if(A_ENV)
    list(APPEND props ENVIRONMENT "${A_ENV}")
  endif()
  if("threads" IN_LIST A_LABELS)
    set_property(GLOBAL APPEND PROPERTY MIRTAL_THREAD_TEST_TARGETS ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ${props} ${A_PROPERTIES})
endfunction()
