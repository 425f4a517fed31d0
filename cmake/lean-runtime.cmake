# Release build (see cmake/release.cmake) and targets without a C++ library: links
# cmake/lean_runtime.cpp into every program and shared object of the project, and builds every
# C++ source without exceptions and RTTI. Read right after project(), before any target exists.
include(${CMAKE_CURRENT_LIST_DIR}/flags.cmake)

add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${FERRO_CXX_LEAN}>")
add_library(ferro_lean_runtime STATIC ${CMAKE_CURRENT_LIST_DIR}/lean_runtime.cpp)
target_link_libraries(ferro_lean_runtime PRIVATE ferro_warnings)
if(FERRO_NO_CXX_LIBRARY)
  # No C++ library at all (cmake/mips-linux-uclibc.cmake), in every build type.
  target_sources(ferro_lean_runtime PRIVATE ${CMAKE_CURRENT_LIST_DIR}/lean_runtime_standalone.cpp)
endif()
link_libraries(ferro_lean_runtime)

# The release strips its programs at link time, unless told not to (a profile wants symbols).
if(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel" AND FERRO_STRIP)
  add_link_options(-s)
endif()
