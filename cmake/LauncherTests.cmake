# Test programs: one GoogleTest executable per folder under tests/, each of its
# tests registered with CTest as "<name>.<Suite>.<Test>". The same function
# serves both builds: natively the tests run directly, in the Windows build
# under wine64 (the cross-compiling emulator).
#
#   launcher_add_gtest(<name>
#       SOURCES <files...>
#       [LIBS <libraries...>]       linked besides GTest::gmock and GTest::gtest(_main)
#       [NO_MAIN]                   the sources bring their own main()
#       [NETNS]                     each test runs in a private network namespace
#                                   (tests/netns-run; its exit code 77 means skipped)
#       [WRAPPER <command...>]      runs each test through this command, inside the
#                                   namespace and outside the emulator
#       [PROPERTIES <prop> <value>...])   set on every test, e.g. TIMEOUT 60 LABELS net
#
# Under the emulator a test is a suite ("<name>.<Suite>", its tests run in one
# process): wine's start takes seconds, far longer than most tests. The sanitizer
# builds ask for the same with LAUNCHER_TESTS_PER_SUITE: their runtimes take a
# fifth of a second to start, more than most tests take to run. The plain build
# keeps one process per test, so that no test leans on what another left behind.
#
# Tests are listed when CTest starts (the program is run with --gtest_list_tests,
# again only after it was rebuilt), not at build time: listing a Windows program
# needs wine, and a build should not. Skipped tests (GTEST_SKIP, exit code 77)
# show as skipped.
#
#   launcher_test_command(<out-var> <target> [NETNS])
# gives the command that runs <target> in this build, for add_test(COMMAND ...)
# of programs that are not GoogleTest executables.

include_guard(GLOBAL)

option(LAUNCHER_TESTS_PER_SUITE "Register one CTest test per GoogleTest suite, not per test" OFF)

set(LAUNCHER_GTEST_DISCOVER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/LauncherGTestDiscover.cmake)

if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  # The emulator named by the toolchain file is a wrapper generated here, with the
  # wine prefix of this build tree written into it.
  set(LAUNCHER_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                 GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

function(launcher_test_runner out netns)
  set(runner)
  if(netns)
    if(NOT LAUNCHER_NETNS_RUN)
      message(FATAL_ERROR "LAUNCHER_NETNS_RUN is not set (tests/CMakeLists.txt sets it)")
    endif()
    list(APPEND runner ${LAUNCHER_NETNS_RUN})
  endif()
  list(APPEND runner ${ARGN})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND runner ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  set(${out} ${runner} PARENT_SCOPE)
endfunction()

function(launcher_test_command out target)
  cmake_parse_arguments(PARSE_ARGV 2 arg "NETNS" "" "")
  launcher_test_runner(runner "${arg_NETNS}")
  set(${out} ${runner} $<TARGET_FILE:${target}> PARENT_SCOPE)
endfunction()

function(launcher_add_gtest name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_MAIN;NETNS" "" "SOURCES;LIBS;WRAPPER;PROPERTIES")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "launcher_add_gtest(${name}): no SOURCES")
  endif()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "launcher_add_gtest(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()

  add_executable(${name} ${arg_SOURCES})
  if(arg_NO_MAIN)
    target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gmock GTest::gtest)
  else()
    target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gmock GTest::gtest_main)
  endif()

  # The emulator alone lists the tests; the network namespace is for running them.
  launcher_test_runner(lister FALSE)
  launcher_test_runner(runner "${arg_NETNS}" ${arg_WRAPPER})
  set(per_suite "")
  if(LAUNCHER_TESTS_PER_SUITE OR (CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR))
    set(per_suite ON)
  endif()
  set(include_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_include.cmake)
  set(tests_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_tests.cmake)
  string(CONCAT content
    "set(LAUNCHER_TEST_NAME [==[${name}]==])\n"
    "set(LAUNCHER_TEST_EXECUTABLE [==[$<TARGET_FILE:${name}>]==])\n"
    "set(LAUNCHER_TEST_LISTER [==[${lister}]==])\n"
    "set(LAUNCHER_TEST_RUNNER [==[${runner}]==])\n"
    "set(LAUNCHER_TEST_WORKING_DIR [==[${CMAKE_CURRENT_BINARY_DIR}]==])\n"
    "set(LAUNCHER_TEST_PROPERTIES [==[${arg_PROPERTIES}]==])\n"
    "set(LAUNCHER_TEST_PER_SUITE [==[${per_suite}]==])\n"
    "set(LAUNCHER_TEST_FILE [==[${tests_file}]==])\n"
    "set(LAUNCHER_TEST_INCLUDE_FILE [==[${include_file}]==])\n"
    "include([==[${LAUNCHER_GTEST_DISCOVER_SCRIPT}]==])\n")
  file(GENERATE OUTPUT ${include_file} CONTENT "${content}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()
