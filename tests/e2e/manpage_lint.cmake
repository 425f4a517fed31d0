# Fails when groff warns about the manual page PAGE (cmake -DPAGE=... -P manpage_lint.cmake).
execute_process(COMMAND groff -ww -man -Tutf8 -z ${PAGE}
                RESULT_VARIABLE status ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff on ${PAGE} (status ${status}):\n${warnings}")
endif()
