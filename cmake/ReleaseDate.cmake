# The release date of PROJECT_VERSION, in the forms the packaging texts need, from
# the one BRENU_RELEASE_DATE (YYYY-MM-DD) set beside the version:
#   BRENU_RELEASE_DATE          2026-12-08                       AppStream, manual pages
#   BRENU_RELEASE_DATE_RFC5322  Tue, 08 Dec 2026 00:00:00 +0000  Debian changelog
# GNU date does the calendar arithmetic.
if(NOT BRENU_RELEASE_DATE MATCHES "^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
  message(FATAL_ERROR "BRENU_RELEASE_DATE must be YYYY-MM-DD, not '${BRENU_RELEASE_DATE}'")
endif()
execute_process(COMMAND env LC_ALL=C date -u -d "${BRENU_RELEASE_DATE}" -R
                OUTPUT_VARIABLE BRENU_RELEASE_DATE_RFC5322 OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _status)
if(NOT _status EQUAL 0)
  message(FATAL_ERROR "BRENU_RELEASE_DATE ${BRENU_RELEASE_DATE} is no date")
endif()
