# Cross build for Windows with the mingw-w64 POSIX-thread compilers (std::thread
# works with them). The runtime is linked statically: the program is one file.
# The including toolchain file sets CMAKE_SYSTEM_PROCESSOR and LAUNCHER_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${LAUNCHER_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LAUNCHER_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${LAUNCHER_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LAUNCHER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
