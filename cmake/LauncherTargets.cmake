# Helpers that keep the per-folder CMakeLists short: a folder's portable sources
# plus the ones named for the platform being built (Foo_win32.cpp / Foo_posix.cpp).

function(launcher_collect_sources out dir)
  file(GLOB portable CONFIGURE_DEPENDS ${dir}/*.cpp)
  list(FILTER portable EXCLUDE REGEX "_(win32|posix)\\.cpp$")
  file(GLOB platform_named CONFIGURE_DEPENDS ${dir}/*_${LAUNCHER_PLATFORM}.cpp
                                             ${dir}/${LAUNCHER_PLATFORM}/*.cpp)
  set(${out} ${portable} ${platform_named} PARENT_SCOPE)
endfunction()

# A static library of the folder's sources, linked against `deps`.
function(launcher_library name dir)
  launcher_collect_sources(sources ${dir})
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()
