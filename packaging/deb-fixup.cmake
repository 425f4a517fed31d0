# Run by cpack after the install rules have filled the package's folder: what a Debian package
# needs beyond them. Manual pages compressed, the compiler's notes (.comment) out of the
# programs and modules, the copyright file, and the changelog whose first entry must carry the
# package's version.
set(root "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "A Debian package needs the prefix /usr, not "
          "'${CPACK_PACKAGING_INSTALL_PREFIX}': configure with -DCMAKE_INSTALL_PREFIX=/usr "
          "(scripts/package does)")
endif()

function(gzip_to source target)
  execute_process(COMMAND gzip -9nc "${source}" OUTPUT_FILE "${target}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${source}: ${status}")
  endif()
  file(CHMOD "${target}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

file(GLOB pages "${root}/usr/${CPACK_FERRO_MANDIR}/man*/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    gzip_to("${page}" "${page}.gz")
    file(REMOVE "${page}")
  endif()
endforeach()

file(GLOB_RECURSE files LIST_DIRECTORIES false "${root}/*")
foreach(file IN LISTS files)
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND objcopy --remove-section=.comment "${file}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "objcopy ${file}: ${status}")
    endif()
  endif()
endforeach()

set(version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
file(STRINGS "${CPACK_FERRO_DEBIAN_DIR}/changelog" first LIMIT_COUNT 1)
if(NOT first MATCHES "^${CPACK_PACKAGE_NAME} \\(${version}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog begins with '${first}', "
          "not with an entry for ${CPACK_PACKAGE_NAME} ${version}")
endif()
set(doc "${root}/usr/${CPACK_FERRO_DOCDIR}")
file(MAKE_DIRECTORY "${doc}")
gzip_to("${CPACK_FERRO_DEBIAN_DIR}/changelog" "${doc}/changelog.Debian.gz")
file(COPY_FILE "${CPACK_FERRO_DEBIAN_DIR}/copyright" "${doc}/copyright")
file(CHMOD "${doc}/copyright" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
