# Boost for the mingw builds. The Debian headers in /usr/include/boost are the
# same on every system; the few compiled parts (Filesystem, Thread, the zlib
# filter of Iostreams) are compiled here from the Debian source package of the
# same version. The sources are fetched once per build tree, at configure time;
# the compile is an ordinary target, so ccache and incremental builds apply.
#
# Defines the target `mingw_boost`: the static library, the header directory,
# the definitions the headers must see, and zlib (libz-mingw-w64-dev).

set(MINGW_BOOST_PACKAGE boost1.74)
set(MINGW_BOOST_DIR ${CMAKE_BINARY_DIR}/mingw-boost)

if(NOT EXISTS /usr/include/boost/version.hpp)
  message(FATAL_ERROR "Boost headers not found in /usr/include/boost (run scripts/setup)")
endif()

if(NOT EXISTS ${MINGW_BOOST_DIR}/src/.complete)
  message(STATUS "Fetching the ${MINGW_BOOST_PACKAGE} sources for mingw")
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/fetch-debian-source ${MINGW_BOOST_DIR} ${MINGW_BOOST_PACKAGE}
            "*/libs/filesystem/src/*" "*/libs/thread/src/*" "*/libs/iostreams/src/*"
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "Fetching the ${MINGW_BOOST_PACKAGE} sources failed (${fetch_result})")
  endif()
endif()
file(GLOB MINGW_BOOST_LIBS_DIR LIST_DIRECTORIES true ${MINGW_BOOST_DIR}/src/*/libs)
if(NOT IS_DIRECTORY "${MINGW_BOOST_LIBS_DIR}/filesystem/src")
  message(FATAL_ERROR "${MINGW_BOOST_DIR}/src holds no Boost sources; remove it and configure again")
endif()

# A private include directory holding only boost/: adding /usr/include itself
# would let Linux headers shadow the mingw ones.
set(MINGW_BOOST_INCLUDE ${MINGW_BOOST_DIR}/include)
file(MAKE_DIRECTORY ${MINGW_BOOST_INCLUDE})
file(CREATE_LINK /usr/include/boost ${MINGW_BOOST_INCLUDE}/boost SYMBOLIC)

find_library(MINGW_ZLIB NAMES libz.a z REQUIRED)

file(GLOB mingw_boost_filesystem ${MINGW_BOOST_LIBS_DIR}/filesystem/src/*.cpp)
set(mingw_boost_sources
  ${mingw_boost_filesystem}
  ${MINGW_BOOST_LIBS_DIR}/thread/src/win32/thread.cpp
  ${MINGW_BOOST_LIBS_DIR}/thread/src/win32/thread_primitives.cpp
  ${MINGW_BOOST_LIBS_DIR}/thread/src/win32/tss_pe.cpp
  ${MINGW_BOOST_LIBS_DIR}/thread/src/future.cpp
  ${MINGW_BOOST_LIBS_DIR}/iostreams/src/zlib.cpp)

add_library(mingw_boost STATIC ${mingw_boost_sources})
# Library code: its warnings are not ours to fix, and its files are not written to
# be compiled as one (file-local helpers of the same name).
target_compile_options(mingw_boost PRIVATE -w)
set_target_properties(mingw_boost PROPERTIES UNITY_BUILD OFF)
target_compile_definitions(mingw_boost
  PRIVATE BOOST_THREAD_BUILD_LIB BOOST_FILESYSTEM_SOURCE BOOST_IOSTREAMS_SOURCE
  PUBLIC BOOST_ALL_NO_LIB BOOST_FILESYSTEM_STATIC_LINK BOOST_THREAD_USE_LIB
         BOOST_USE_WINDOWS_H _WIN32_WINNT=0x0601)
target_include_directories(mingw_boost SYSTEM PUBLIC ${MINGW_BOOST_INCLUDE})
target_link_libraries(mingw_boost PUBLIC ${MINGW_ZLIB} bcrypt advapi32)
