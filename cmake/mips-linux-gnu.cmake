# Toolchain for the board: MIPS32 big-endian Linux, Debian's mips-linux-gnu cross compiler.
#   cmake -S . -B build/mips -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
# Target programs (tests included) run on this machine through qemu-mips.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

# Debian's cross packages lay the target's libc, libstdc++ and kernel headers out under this
# prefix (include/ and lib/ directly below it). The compiler already searches there on its own,
# so no --sysroot is passed: with one it would look for usr/include below the prefix.
set(FERRO_TARGET_PREFIX /usr/mips-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${FERRO_TARGET_PREFIX})

# Programs (code generators, the emulator) come from the host; libraries, headers and
# package files only from the target prefix, so no x86 library can end up on a MIPS link line.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config gets the same fence: only .pc files of the target prefix (there are none in
# Debian 12, so a pkg_check_modules() for a host-only library fails instead of handing back
# x86 flags). The environment is read by FindPkgConfig at configure time.
set(ENV{PKG_CONFIG_LIBDIR} "${FERRO_TARGET_PREFIX}/lib/pkgconfig:${FERRO_TARGET_PREFIX}/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Run target programs (tests, the programs end-to-end tests start) under user-mode emulation.
# The toolchain file is read again for every try_compile; look the emulator up only once.
if(NOT FERRO_QEMU_MIPS)
  find_program(FERRO_QEMU_MIPS qemu-mips NO_CMAKE_FIND_ROOT_PATH)
endif()
if(FERRO_QEMU_MIPS)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${FERRO_QEMU_MIPS};-L;${FERRO_TARGET_PREFIX}"
      CACHE STRING "Command prefix that runs target programs on this machine")
else()
  message(WARNING "qemu-mips not found (Debian package qemu-user): target tests cannot run")
endif()
