# The documents that the packages carry, made in ${documents}: the manual
# page, the changelog and the copyright file. gzip -n keeps neither the name
# nor the time, so the bytes depend only on the text.
set(documents ${CMAKE_CURRENT_BINARY_DIR}/documents)
configure_file(docs/wdtag_poweroff.8.in ${documents}/wdtag_poweroff.8 @ONLY)
configure_file(packaging/changelog ${documents}/changelog COPYONLY)
add_custom_command(OUTPUT ${documents}/wdtag_poweroff.8.gz ${documents}/changelog.gz
  COMMAND gzip -9nkf ${documents}/wdtag_poweroff.8 ${documents}/changelog
  DEPENDS ${documents}/wdtag_poweroff.8 ${documents}/changelog VERBATIM)
add_custom_target(documents ALL DEPENDS ${documents}/wdtag_poweroff.8.gz ${documents}/changelog.gz)

# The copyright file in Debian's machine-readable form, from LICENSE.
file(READ LICENSE license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" holder "${license}")
set(holder ${CMAKE_MATCH_1})
string(FIND "${license}" "Permission" terms_start)
string(SUBSTRING "${license}" ${terms_start} -1 terms)
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${documents}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: wdtag-poweroff\n\nFiles: *\nCopyright: ${holder}\nLicense: Expat\n ${terms}\n")
