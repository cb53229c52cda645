# The shipping build: a 32-bit Windows program.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LAUNCHER_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
