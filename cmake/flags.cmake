# Warning and sanitizer settings shared by every target of the project. Read once, by the first
# of the top-level CMakeLists.txt and cmake/lean-runtime.cmake to include it.
include_guard(GLOBAL)

# Our own targets link this to get the warning set; third-party code (GoogleTest) does not.
add_library(ferro_warnings INTERFACE)
target_compile_options(ferro_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wformat=2
  $<$<BOOL:${WERROR}>:-Werror>)

if(SANITIZE)
  # Applied globally so that everything linked into one binary is instrumented alike.
  add_compile_options(-fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SANITIZE})
endif()

if(FUZZ)
  # Coverage and sanitizers on every library the fuzz targets link; only the targets themselves
  # link libFuzzer's main (tests/fuzz).
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "FUZZ=ON needs clang: configure with CC=clang CXX=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Small binaries: nothing here throws across our code, nothing needs RTTI.
set(FERRO_CXX_LEAN -fno-exceptions -fno-rtti)
