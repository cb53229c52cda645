# zstd's decoder for the mingw builds: the Windows programs only apply patches,
# so only lib/common and lib/decompress of Debian's source package libzstd are
# compiled (fetched once per build tree, at configure time, like Boost's).
#
# Defines the target `mingw_zstd`: the static library and the directory holding
# zstd.h.

set(MINGW_ZSTD_PACKAGE libzstd)
set(MINGW_ZSTD_DIR ${CMAKE_BINARY_DIR}/mingw-zstd)

if(NOT EXISTS ${MINGW_ZSTD_DIR}/src/.complete)
  message(STATUS "Fetching the ${MINGW_ZSTD_PACKAGE} sources for mingw")
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/fetch-debian-source ${MINGW_ZSTD_DIR} ${MINGW_ZSTD_PACKAGE}
            "*/lib/common/*" "*/lib/decompress/*" "*/lib/zstd.h" "*/lib/zstd_errors.h"
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "Fetching the ${MINGW_ZSTD_PACKAGE} sources failed (${fetch_result})")
  endif()
endif()
file(GLOB MINGW_ZSTD_LIB_DIR LIST_DIRECTORIES true ${MINGW_ZSTD_DIR}/src/*/lib)
if(NOT EXISTS "${MINGW_ZSTD_LIB_DIR}/zstd.h")
  message(FATAL_ERROR "${MINGW_ZSTD_DIR}/src holds no zstd sources; remove it and configure again")
endif()

# Only the C files: the x86-64 assembly of the Huffman decoder is left out, and
# ZSTD_DISABLE_ASM tells the C code so.
file(GLOB mingw_zstd_sources ${MINGW_ZSTD_LIB_DIR}/common/*.c ${MINGW_ZSTD_LIB_DIR}/decompress/*.c)
add_library(mingw_zstd STATIC ${mingw_zstd_sources})
target_compile_options(mingw_zstd PRIVATE -w)
set_target_properties(mingw_zstd PROPERTIES UNITY_BUILD OFF)
target_compile_definitions(mingw_zstd PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0)
target_include_directories(mingw_zstd SYSTEM PUBLIC ${MINGW_ZSTD_LIB_DIR})
