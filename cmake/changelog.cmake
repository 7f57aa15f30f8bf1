# The release as the changelog's top entry states it: the version, the
# maintainer and the time, which the packages take as theirs (unless
# SOURCE_DATE_EPOCH is set), so that a package is the same whenever and
# wherever it is built, from git or from a source tarball.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog top_entry REGEX "^[a-z]|^ -- ")
list(GET top_entry 0 heading)
list(GET top_entry 1 trailer)
if(NOT heading MATCHES "^[a-z0-9.+-]+ \\(([0-9.]+)\\)")
  message(FATAL_ERROR "The changelog's top entry has no version: ${heading}")
endif()
set(WDTAG_VERSION ${CMAKE_MATCH_1})
if(NOT trailer MATCHES "^ -- (.+>)  (.+)$")
  message(FATAL_ERROR "The changelog's top entry has no maintainer and date: ${trailer}")
endif()
set(WDTAG_MAINTAINER "${CMAKE_MATCH_1}")
execute_process(COMMAND date -u -d "${CMAKE_MATCH_2}" "+%s;%F"
  OUTPUT_VARIABLE release OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
list(GET release 0 WDTAG_RELEASE_EPOCH)
list(GET release 1 WDTAG_RELEASE_DAY)
