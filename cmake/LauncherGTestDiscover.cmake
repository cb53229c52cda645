# Run by CTest when it reads the test list (see launcher_add_gtest): lists the
# tests of one GoogleTest program and registers each as its own CTest test, or
# each suite when LAUNCHER_TEST_PER_SUITE is set.
# The list is kept in LAUNCHER_TEST_FILE and made again only when the program or
# its registration is newer.

unset(_launcher_listed)

function(_launcher_quote out text)
  # Bracket argument that no test name or filter can close.
  set(${out} "[==[${text}]==]" PARENT_SCOPE)
endfunction()

function(_launcher_discover)
  execute_process(
    COMMAND ${LAUNCHER_TEST_LISTER} "${LAUNCHER_TEST_EXECUTABLE}" --gtest_list_tests
    WORKING_DIRECTORY "${LAUNCHER_TEST_WORKING_DIR}"
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors
    RESULT_VARIABLE result
    TIMEOUT 300)
  set(script "")
  _launcher_quote(exe "${LAUNCHER_TEST_EXECUTABLE}")
  set(runner "")
  foreach(part IN LISTS LAUNCHER_TEST_RUNNER)
    _launcher_quote(q "${part}")
    string(APPEND runner "${q} ")
  endforeach()
  set(properties "")
  foreach(part IN LISTS LAUNCHER_TEST_PROPERTIES)
    _launcher_quote(q "${part}")
    string(APPEND properties " ${q}")
  endforeach()
  _launcher_quote(workdir "${LAUNCHER_TEST_WORKING_DIR}")
  set(timeout "")
  list(FIND LAUNCHER_TEST_PROPERTIES TIMEOUT at)
  if(at GREATER_EQUAL 0)
    math(EXPR at "${at} + 1")
    list(GET LAUNCHER_TEST_PROPERTIES ${at} timeout)
  endif()
  list(FIND LAUNCHER_TEST_PROPERTIES COST given_cost)

  if(NOT result EQUAL 0)
    # Keep the failure visible: a warning and a test that cannot run (and so fails).
    message(WARNING "listing the tests of ${LAUNCHER_TEST_EXECUTABLE} failed (${result}):\n${errors}")
    string(APPEND script "add_test(${LAUNCHER_TEST_NAME}.LIST_FAILED ${LAUNCHER_TEST_NAME}.LIST_FAILED)\n")
    file(WRITE "${LAUNCHER_TEST_FILE}" "${script}")
    # Not kept: the next CTest run lists again.
    set(_launcher_listed FALSE PARENT_SCOPE)
    return()
  endif()

  # Programs under wine write CR LF.
  string(REPLACE "\r" "" output "${output}")
  string(REPLACE ";" "\\;" output "${output}")
  string(REPLACE "\n" ";" lines "${output}")
  set(suite "")
  set(suites "")
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      continue()
    endif()
    if(line MATCHES "^  ")
      if(suite STREQUAL "")
        continue()
      endif()
      string(REGEX REPLACE " +#.*$" "" test "${line}")
      string(STRIP "${test}" test)
      set(full "${suite}.${test}")
      if(LAUNCHER_TEST_PER_SUITE)
        if(NOT DEFINED _count_${suite})
          list(APPEND suites "${suite}")
          set(_count_${suite} 0)
        endif()
        if(NOT full MATCHES "(^|[./])DISABLED_")
          math(EXPR _count_${suite} "${_count_${suite}} + 1")
        endif()
        continue()
      endif()
      _launcher_quote(name "${LAUNCHER_TEST_NAME}.${full}")
      _launcher_quote(filter "--gtest_filter=${full}")
      string(APPEND script
        "add_test(${name} ${runner}${exe} ${filter} --gtest_also_run_disabled_tests)\n"
        "set_tests_properties(${name} PROPERTIES WORKING_DIRECTORY ${workdir}"
        " SKIP_RETURN_CODE 77 SKIP_REGULAR_EXPRESSION [==[\\[  SKIPPED \\]]==]${properties})\n")
      if(full MATCHES "(^|[./])DISABLED_")
        string(APPEND script "set_tests_properties(${name} PROPERTIES DISABLED TRUE)\n")
      endif()
    elseif(line MATCHES "^([^ #]+)\\.( +#.*)?$")
      set(suite "${CMAKE_MATCH_1}")
    else()
      # A line that is neither a suite nor a test (a program's own start-up output).
      set(suite "")
    endif()
  endforeach()
  # One process a suite, where starting a process is dear (a program under the
  # emulator): its tests run in turn, disabled ones left out as gtest does by
  # default. Skipped only when every test of the suite was.
  foreach(suite IN LISTS suites)
    _launcher_quote(name "${LAUNCHER_TEST_NAME}.${suite}")
    _launcher_quote(filter "--gtest_filter=${suite}.*")
    if(_count_${suite} EQUAL 0)
      string(APPEND script "add_test(${name} ${runner}${exe} ${filter})\n"
                           "set_tests_properties(${name} PROPERTIES DISABLED TRUE)\n")
      continue()
    endif()
    if(_count_${suite} EQUAL 1)
      set(all_skipped "\\[  SKIPPED \\] 1 test, listed below")
    else()
      set(all_skipped "\\[  SKIPPED \\] ${_count_${suite}} tests, listed below")
    endif()
    string(APPEND script
      "add_test(${name} ${runner}${exe} ${filter})\n"
      "set_tests_properties(${name} PROPERTIES WORKING_DIRECTORY ${workdir}"
      " SKIP_RETURN_CODE 77 SKIP_REGULAR_EXPRESSION [==[${all_skipped}]==]${properties})\n")
    # A fresh build tree has no timings for CTest to order by; unless the program
    # gives a COST, the suites with the most tests start first, so that short ones
    # fill the end.
    if(given_cost LESS 0)
      string(APPEND script "set_tests_properties(${name} PROPERTIES COST ${_count_${suite}})\n")
    endif()
    if(timeout)
      # As long as the suite's tests would have had one after the other.
      math(EXPR suite_timeout "${timeout} * ${_count_${suite}}")
      string(APPEND script "set_tests_properties(${name} PROPERTIES TIMEOUT ${suite_timeout})\n")
    endif()
  endforeach()
  set(listed TRUE)
  if(script STREQUAL "")
    set(listed FALSE)
    message(WARNING "${LAUNCHER_TEST_EXECUTABLE} lists no tests")
    string(APPEND script "add_test(${LAUNCHER_TEST_NAME}.NO_TESTS ${LAUNCHER_TEST_NAME}.NO_TESTS)\n")
  endif()
  file(WRITE "${LAUNCHER_TEST_FILE}" "${script}")
  set(_launcher_listed ${listed} PARENT_SCOPE)
endfunction()

if(NOT EXISTS "${LAUNCHER_TEST_EXECUTABLE}")
  add_test(${LAUNCHER_TEST_NAME}.NOT_BUILT ${LAUNCHER_TEST_NAME}.NOT_BUILT)
  return()
endif()
if(NOT EXISTS "${LAUNCHER_TEST_FILE}"
   OR NOT "${LAUNCHER_TEST_FILE}" IS_NEWER_THAN "${LAUNCHER_TEST_EXECUTABLE}"
   OR NOT "${LAUNCHER_TEST_FILE}" IS_NEWER_THAN "${LAUNCHER_TEST_INCLUDE_FILE}")
  _launcher_discover()
endif()
include("${LAUNCHER_TEST_FILE}")
if(DEFINED _launcher_listed AND NOT _launcher_listed)
  file(REMOVE "${LAUNCHER_TEST_FILE}")
endif()
unset(_launcher_listed)
