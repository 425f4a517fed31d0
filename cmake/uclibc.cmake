# Project side of the uClibc build (cmake/mips-linux-uclibc.cmake), read after every target
# exists.

# uClibc-ng built here from Debian's source is built again when its inputs change: configure
# runs again, and with it scripts/build-uclibc.
if(NOT FERRO_SYSROOT AND FERRO_UCLIBC_DIR)
  file(STRINGS ${FERRO_UCLIBC_DIR}/source uclibc_source)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/cmake/uclibc-ng.config
               ${PROJECT_SOURCE_DIR}/scripts/build-uclibc ${uclibc_source})
endif()

# What the installed programs and Lua modules import must be on the list in
# cmake/board-imports.txt: a new dependency on the board's C library is a choice made in review,
# not found on the board.
set(deliverables ferrod ttyscope sentryctl physmem_c jotter_c herald_c)
set(files "")
foreach(target IN LISTS deliverables)
  list(APPEND files $<TARGET_FILE:${target}>)
endforeach()
set(allowed ${PROJECT_SOURCE_DIR}/cmake/board-imports.txt)
add_custom_command(
  OUTPUT board-imports.checked
  COMMAND ${PROJECT_SOURCE_DIR}/cmake/check-imports ${CMAKE_NM} ${allowed} ${files}
  COMMAND ${CMAKE_COMMAND} -E touch board-imports.checked
  DEPENDS ${deliverables} ${allowed} ${PROJECT_SOURCE_DIR}/cmake/check-imports
  COMMENT "Checking the programs' imports against cmake/board-imports.txt"
  VERBATIM)
add_custom_target(board_imports ALL DEPENDS board-imports.checked)
