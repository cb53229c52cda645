# GoogleTest for the mingw builds, compiled from the Debian source package
# (/usr/src/googletest). Provides the same target names as find_package(GTest)
# does natively: GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main.

set(MINGW_GTEST_SOURCE /usr/src/googletest)
if(NOT EXISTS ${MINGW_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${MINGW_GTEST_SOURCE} (run scripts/setup)")
endif()

# Windows threads for gtest's own locking; no install rules in our build tree.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${MINGW_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

foreach(lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
  # Library code: its warnings are not ours to fix.
  target_compile_options(${lib} PRIVATE -w)
  set_target_properties(${lib} PROPERTIES UNITY_BUILD OFF)
endforeach()
