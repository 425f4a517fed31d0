# Toolchain for the board's own C library, uClibc-ng: MIPS32 big-endian Linux.
#   cmake -S . -B build/mips-uclibc -G Ninja -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mips-linux-uclibc.cmake
# Settings (give them with -D at the first configure; docs/target-build.md has the details):
#   FERRO_CROSS_PREFIX  prefix of the cross compiler's commands (default mips-linux-gnu-)
#   FERRO_SYSROOT       the board's sysroot (uClibc's headers, start files and libraries under
#                       usr/ and lib/). Unset: scripts/build-uclibc builds uClibc-ng from
#                       Debian's uclibc-source into FERRO_UCLIBC_DIR and its sysroot is used.
#   FERRO_UCLIBC_DIR    where that build goes (default: uclibc-ng in the build folder)
#   FERRO_TEST_TOOLCHAIN  toolchain file for the test programs, which need a C++ library
#                       (default: mips-linux-gnu.cmake beside this file; see tests/CMakeLists.txt)
#
# A compiler built for uClibc (its target name says so, as an SDK's mips-linux-uclibc-gcc does)
# gets the sysroot and nothing else. Any other compiler, Debian's mips-linux-gnu-gcc included,
# was built for another C library and would quietly use that library's headers, start files
# and libraries; it is fenced in instead: -nostdinc with the sysroot's headers named, -nostdlib
# with the sysroot's start files and libc named, -muclibc for the loader name and the
# compiler's own assumptions about the library, and a check of every link's inputs
# (cmake/check-link-inputs), so that nothing from outside the sysroot but the compiler's own
# runtime (libgcc, crtbegin/crtend) is linked. Such a compiler's C++ library is built for the
# other C library too: only its headers are used, with cmake/uclibc-cxx.h saying what this C
# library lacks, and the few runtime functions the programs need come from
# cmake/lean_runtime*.cpp (FERRO_NO_CXX_LIBRARY).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(FERRO_CROSS_PREFIX mips-linux-gnu- CACHE STRING "Prefix of the cross compiler's commands")
set(FERRO_SYSROOT "" CACHE PATH "The board's sysroot; empty: build uClibc-ng from Debian's source")
set(FERRO_TEST_TOOLCHAIN "${CMAKE_CURRENT_LIST_DIR}/mips-linux-gnu.cmake" CACHE FILEPATH
    "Toolchain file of the test programs (empty: build them with this one)")
set(CMAKE_C_COMPILER ${FERRO_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${FERRO_CROSS_PREFIX}g++)
set(FERRO_TARGET_LIBC uclibc)

# Worked out once per configure run of the project; try_compile projects inherit the result.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FERRO_CROSS_PREFIX FERRO_TARGET_SYSROOT)
if(NOT FERRO_TARGET_SYSROOT)
  if(FERRO_SYSROOT)
    get_filename_component(FERRO_TARGET_SYSROOT "${FERRO_SYSROOT}" ABSOLUTE)
  else()
    set(FERRO_UCLIBC_DIR "${CMAKE_BINARY_DIR}/uclibc-ng" CACHE PATH
        "Where uClibc-ng is built from Debian's source")
    # Does nothing when the sysroot there was built from the same inputs.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env FERRO_CROSS=${FERRO_CROSS_PREFIX}
                            ${CMAKE_CURRENT_LIST_DIR}/../scripts/build-uclibc ${FERRO_UCLIBC_DIR}
                    RESULT_VARIABLE built)
    if(NOT built EQUAL 0)
      message(FATAL_ERROR "scripts/build-uclibc failed")
    endif()
    set(FERRO_TARGET_SYSROOT "${FERRO_UCLIBC_DIR}/sysroot")
  endif()
endif()
set(CMAKE_SYSROOT "${FERRO_TARGET_SYSROOT}")
# For scripts/size-report, which lists the loader and libraries the programs need from it.
set(FERRO_SYSROOT_IN_USE "${CMAKE_SYSROOT}" CACHE INTERNAL "")

# Headers, libraries and packages only from the sysroot; programs only from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")

execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine OUTPUT_VARIABLE machine
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT machine MATCHES "uclibc")
  set(FERRO_NO_CXX_LIBRARY ON)
  set(sys "${CMAKE_SYSROOT}")
  foreach(file crtbeginS.o crtendS.o include)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${file}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE "[.].*" "" name "${file}")
    set(gcc_${name} "${path}")
  endforeach()
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name
                  OUTPUT_VARIABLE gcc_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
  # The C++ library's header folders, as the compiler lists them.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v /dev/null
                  OUTPUT_QUIET ERROR_VARIABLE search)
  string(REGEX MATCH "search starts here:\n(.*)End of search list" search "${search}")
  string(REGEX MATCHALL "[^ \n]+/c\\+\\+/[^\n]*" cxx_dirs "${CMAKE_MATCH_1}")
  if(NOT EXISTS "${gcc_crtbeginS}" OR NOT EXISTS "${gcc_libgcc}" OR NOT cxx_dirs)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER}: cannot find its runtime files or C++ headers")
  endif()
  set(c_fence "-muclibc -nostdinc -isystem ${gcc_include} -isystem ${sys}/usr/include")
  set(cxx_fence "-muclibc -nostdinc")
  foreach(dir IN LISTS cxx_dirs)
    string(APPEND cxx_fence " -isystem ${dir}")
  endforeach()
  string(APPEND cxx_fence " -isystem ${gcc_include} -isystem ${sys}/usr/include"
         " -include ${CMAKE_CURRENT_LIST_DIR}/uclibc-cxx.h")
  set(link_start "-muclibc -nostdlib -L${sys}/usr/lib -L${sys}/lib")
  set(exe_start "${link_start} ${sys}/usr/lib/Scrt1.o ${sys}/usr/lib/crti.o ${gcc_crtbeginS}")
  set(lib_start "${link_start} ${sys}/usr/lib/crti.o ${gcc_crtbeginS}")
  set(link_end "${gcc_libgcc} -lc ${gcc_libgcc} ${gcc_crtendS} ${sys}/usr/lib/crtn.o")
  # The linker lists every file it reads; anything from outside the sysroot, the compiler's own
  # runtime files and the build folder fails the link.
  set(check "-Wl,--trace > <TARGET>.inputs && ${CMAKE_CURRENT_LIST_DIR}/check-link-inputs"
            " <TARGET> ${sys} ${gcc_crtbeginS} ${gcc_crtendS} ${gcc_libgcc}")
  string(REPLACE ";" "" check "${check}")
  set(compile "<DEFINES> <INCLUDES> <FLAGS> -o <OBJECT> -c <SOURCE>")
  set(CMAKE_C_COMPILE_OBJECT "<CMAKE_C_COMPILER> ${c_fence} ${compile}")
  set(CMAKE_CXX_COMPILE_OBJECT "<CMAKE_CXX_COMPILER> ${cxx_fence} ${compile}")
  foreach(lang C CXX)
    set(CMAKE_${lang}_LINK_EXECUTABLE
        "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> ${exe_start} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${link_end} ${check}")
    set(CMAKE_${lang}_CREATE_SHARED_LIBRARY
        "<CMAKE_${lang}_COMPILER> <CMAKE_SHARED_LIBRARY_${lang}_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_LIBRARY_CREATE_${lang}_FLAGS> ${lib_start} <SONAME_FLAG><TARGET_SONAME> -o <TARGET> <OBJECTS> <LINK_LIBRARIES> ${link_end} ${check}")
    set(CMAKE_${lang}_CREATE_SHARED_MODULE "${CMAKE_${lang}_CREATE_SHARED_LIBRARY}")
  endforeach()
endif()

# Target programs run here under user-mode emulation, with the sysroot as their root for the
# loader and libraries.
if(NOT FERRO_QEMU_MIPS)
  find_program(FERRO_QEMU_MIPS qemu-mips NO_CMAKE_FIND_ROOT_PATH)
endif()
if(FERRO_QEMU_MIPS)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${FERRO_QEMU_MIPS};-L;${CMAKE_SYSROOT}")
else()
  message(WARNING "qemu-mips not found (Debian package qemu-user): target tests cannot run")
endif()
