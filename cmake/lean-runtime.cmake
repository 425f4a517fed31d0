# Release build only (see cmake/release.cmake): links cmake/lean_runtime.cpp into every program
# and shared object of the project. Read right after project(), before any target exists.
add_library(ferro_lean_runtime STATIC ${CMAKE_CURRENT_LIST_DIR}/lean_runtime.cpp)
target_compile_options(ferro_lean_runtime PRIVATE
  -Wall -Wextra -Wshadow -Wformat=2 $<$<BOOL:${WERROR}>:-Werror>)
link_libraries(ferro_lean_runtime)
