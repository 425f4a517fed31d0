# Release build only (see cmake/release.cmake): links cmake/lean_runtime.cpp into every program
# and shared object of the project. Read right after project(), before any target exists.
add_library(ferro_lean_runtime STATIC ${CMAKE_CURRENT_LIST_DIR}/lean_runtime.cpp)
target_compile_options(ferro_lean_runtime PRIVATE
  -Wall -Wextra -Wshadow -Wformat=2 $<$<BOOL:${WERROR}>:-Werror>)
if(FERRO_NO_CXX_LIBRARY)
  # No C++ library at all (cmake/mips-linux-uclibc.cmake), in every build type.
  target_sources(ferro_lean_runtime PRIVATE ${CMAKE_CURRENT_LIST_DIR}/lean_runtime_standalone.cpp)
  target_compile_options(ferro_lean_runtime PRIVATE -fno-exceptions -fno-rtti)
endif()
link_libraries(ferro_lean_runtime)
