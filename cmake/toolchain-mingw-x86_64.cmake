# The test build: a 64-bit Windows program, whose tests run under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LAUNCHER_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

# Test programs run under wine64 through a wrapper with a wine prefix of its own
# in the build tree, so no run touches the user's prefix. cmake/LauncherTests.cmake
# writes the wrapper.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
