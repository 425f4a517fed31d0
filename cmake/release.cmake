# Size-first release build for the board. An initial cache, given to cmake with -C:
#   cmake -S . -B build/mips-release -G Ninja -C cmake/release.cmake \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
# scripts/size-report builds it and prints the sizes. Measurements behind each choice are in
# docs/target-build.md.

set(CMAKE_BUILD_TYPE MinSizeRel CACHE STRING "Build type")
set(FERRO_TESTS OFF CACHE BOOL "Build the tests")

# Link-time optimisation: about 13 % off ferrod (measured, docs/target-build.md).
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON CACHE BOOL "Link-time optimisation")

# Each function and object in its own section, so the linker drops what nothing reaches.
set(FERRO_RELEASE_COMMON "-Os -DNDEBUG -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_MINSIZEREL "${FERRO_RELEASE_COMMON}" CACHE STRING "")
# No locking around function-local statics (the programs are single threaded); no exceptions
# and no RTTI anywhere come with cmake/lean-runtime.cmake. _GLIBCXX_ASSERTIONS adds libstdc++'s
# cheap precondition checks and, as a side effect relied on here, makes std::string's members
# compile into our code (with -fno-exceptions) instead of coming from libstdc++, whose copies
# are built to throw.
set(CMAKE_CXX_FLAGS_MINSIZEREL
    "${FERRO_RELEASE_COMMON} -fno-threadsafe-statics -D_GLIBCXX_ASSERTIONS" CACHE STRING "")

# Unused sections dropped, the C++ runtime linked in (the board need not carry libstdc++), and
# cmake/lean_runtime.cpp always on the link line so that none of libstdc++'s exception
# machinery is. Symbols are stripped (-s) unless FERRO_STRIP is off.
set(FERRO_STRIP ON CACHE BOOL "Strip the release's programs at link time")
set(FERRO_RELEASE_LINK
    "-Wl,--gc-sections -static-libstdc++ -static-libgcc -Wl,--require-defined=ferro_lean_runtime")
set(CMAKE_EXE_LINKER_FLAGS_MINSIZEREL "${FERRO_RELEASE_LINK}" CACHE STRING "")
# Shared objects (the Lua modules) keep the runtime to themselves.
set(CMAKE_SHARED_LINKER_FLAGS_MINSIZEREL
    "${FERRO_RELEASE_LINK} -Wl,--exclude-libs,libferro_lean_runtime.a" CACHE STRING "")
set(CMAKE_MODULE_LINKER_FLAGS_MINSIZEREL
    "${FERRO_RELEASE_LINK} -Wl,--exclude-libs,libferro_lean_runtime.a" CACHE STRING "")

# Read right after the project() call of the top-level CMakeLists.txt.
set(CMAKE_PROJECT_ferro_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/lean-runtime.cmake" CACHE FILEPATH "")
