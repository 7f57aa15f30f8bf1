# Install layout, service files and packages.
include(GNUInstallDirs)

option(WDTAG_INSTALL_STANDIN
  "Install the stand-in tag library (off for a device, which has the vendor's)"
  ${PROJECT_IS_TOP_LEVEL})
if(CMAKE_CROSSCOMPILING)
  set(WDTAG_INSTALL_STANDIN OFF CACHE BOOL "" FORCE)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/documents.cmake)

# A stripped install (cmake --install --strip, and the packages) also drops
# the compilers' .comment notes, as Debian's own packages do. Like CMake's
# own strip, a tool that does not know the target only warns.
function(strip_comment_on_install file component)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" RESULT_VARIABLE failed)
      if(failed)
        message(WARNING \"${file} keeps its .comment section: ${CMAKE_OBJCOPY} failed\")
      endif()
    endif()" COMPONENT ${component})
endfunction()

# The service files live where the system looks for them, whatever the
# prefix, and name the program under the prefix in use when installing: a
# package's is always /usr, cmake --install's the one it is given.
set(WDTAG_DEFAULTS_FILE /etc/default/wdtag-poweroff)
set(WDTAG_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/wdtag-poweroff)
set(WDTAG_LAUNCHER ${CMAKE_INSTALL_LIBEXECDIR}/wdtag-poweroff/start)
set(installed_services ${CMAKE_CURRENT_BINARY_DIR}/installed-services)

# Where the installed program looks for the tag library before the ordinary
# search path: the device's own folders for it, then an installed stand-in
# beside the program.
set(WDTAG_LIBRARY_DIRS "" CACHE STRING
  "Absolute folders on the device searched first for the tag library, such as /opt/vendor/lib")
foreach(folder IN LISTS WDTAG_LIBRARY_DIRS)
  if(NOT IS_ABSOLUTE "${folder}")
    message(FATAL_ERROR "WDTAG_LIBRARY_DIRS: '${folder}' is not an absolute folder")
  endif()
endforeach()
set(runpath ${WDTAG_LIBRARY_DIRS})
if(WDTAG_INSTALL_STANDIN)
  file(RELATIVE_PATH sbin_to_lib ${CMAKE_INSTALL_FULL_SBINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  list(APPEND runpath "$ORIGIN/${sbin_to_lib}")
endif()
set_target_properties(wdtag_poweroff PROPERTIES INSTALL_RPATH "${runpath}")
if(WDTAG_LIBRARY_DIRS)
  set(overrides ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides)
  file(WRITE ${overrides} "# The device keeps its closed tag library in a folder of its own.\n"
    "wdtag-poweroff: custom-library-search-path\n")
  install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME wdtag-poweroff COMPONENT watchdog)
endif()

install(TARGETS wdtag_poweroff RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT watchdog)

install(CODE "
  set(WDTAG_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/wdtag_poweroff\")
  set(WDTAG_LAUNCHER \"\${CMAKE_INSTALL_PREFIX}/${WDTAG_LAUNCHER}\")
  set(WDTAG_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${WDTAG_DOCDIR}\")
  set(WDTAG_DEFAULTS_FILE ${WDTAG_DEFAULTS_FILE})
  configure_file(${PROJECT_SOURCE_DIR}/service/wdtag-poweroff.service.in
    ${installed_services}/wdtag-poweroff.service @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/service/wdtag-poweroff.init.in
    ${installed_services}/wdtag-poweroff @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/service/wdtag-poweroff-start.in
    ${installed_services}/start @ONLY)
  " COMPONENT watchdog)
install(FILES ${installed_services}/wdtag-poweroff.service
  DESTINATION /lib/systemd/system COMPONENT watchdog)
install(PROGRAMS ${installed_services}/wdtag-poweroff DESTINATION /etc/init.d COMPONENT watchdog)
install(PROGRAMS ${installed_services}/start DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/wdtag-poweroff
  COMPONENT watchdog)
install(FILES service/wdtag-poweroff.default
  DESTINATION /etc/default RENAME wdtag-poweroff COMPONENT watchdog)
install(FILES service/wdtag-poweroff.logrotate
  DESTINATION /etc/logrotate.d RENAME wdtag-poweroff COMPONENT watchdog)
install(FILES docs/integrating.md DESTINATION ${WDTAG_DOCDIR} COMPONENT watchdog)
install(FILES service/confined.conf DESTINATION ${WDTAG_DOCDIR}/examples COMPONENT watchdog)
install(FILES ${documents}/wdtag_poweroff.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT watchdog)
install(FILES ${documents}/copyright ${documents}/changelog.gz DESTINATION ${WDTAG_DOCDIR}
  COMPONENT watchdog)
strip_comment_on_install(${CMAKE_INSTALL_SBINDIR}/wdtag_poweroff watchdog)

if(WDTAG_INSTALL_STANDIN)
  install(TARGETS tagsim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tagsim)
  install(FILES ${documents}/copyright ${documents}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/wdtag-poweroff-tagsim COMPONENT tagsim)
  # A library in the loader's folders: ldconfig runs after it is installed.
  file(WRITE ${documents}/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_TAGSIM_PACKAGE_CONTROL_EXTRA ${documents}/triggers)
  file(WRITE ${documents}/tagsim-overrides
    "# zedOVEde.so, unversioned, is the file name and SONAME of the device's own library.\n"
    "wdtag-poweroff-tagsim: package-name-doesnt-match-sonames zedOVEde\n"
    "wdtag-poweroff-tagsim: shared-library-lacks-version *\n"
    "# Programs linked against it run with the device's own library: no package's\n"
    "# dependencies are to be computed from the stand-in's symbols.\n"
    "wdtag-poweroff-tagsim: no-symbols-control-file *\n")
  install(FILES ${documents}/tagsim-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME wdtag-poweroff-tagsim
    COMPONENT tagsim)
  strip_comment_on_install(${CMAKE_INSTALL_LIBDIR}/zedOVEde.so tagsim)
endif()

# Debian packages: the watchdog, and the stand-in library in its own. The
# architecture is the target's, never the build machine's.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
  set(deb_architecture armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(deb_architecture arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(deb_architecture amd64)
else()
  set(deb_architecture ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wdtag-poweroff)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${WDTAG_MAINTAINER}")
# Each package's description begins with its own summary: CPack would put a
# CPACK_PACKAGE_DESCRIPTION_SUMMARY before both.
set(CPACK_DEBIAN_WATCHDOG_DESCRIPTION "Tag watchdog: restarts the machine when a tag is held at 1
wdtag_poweroff watches one tag of the device's closed tag library,
zedOVEde.so, and restarts the machine when that tag is set to 1 and held
there for the watchdog time; setting it back to 0 cancels the countdown.
Before the restart it stops the device's resident programs with killall
and syncs the file systems.
.
A systemd unit and a SysV init script start it as a service once a tag is
set in /etc/default/wdtag-poweroff; a logrotate rule keeps its log. The tag
library is the device's own and is not in this package.")
set(CPACK_DEBIAN_TAGSIM_DESCRIPTION "Stand-in tag library for machines without the device's own
A zedOVEde.so with the interface of the device's tag library, which keeps
each tag as a file in a folder (/run/tags, or TAGSIM_DIR): writing 1 into
a tag's file sets the tag. For trying and testing the tag watchdog on
machines that lack the device's library; a device has its own.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# A Debian package is laid out for /usr, whatever this build tree's prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped in the package; the build tree keeps the symbols.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_architecture})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_WATCHDOG_PACKAGE_NAME wdtag-poweroff)
set(CPACK_DEBIAN_TAGSIM_PACKAGE_NAME wdtag-poweroff-tagsim)
# The settings file, the init script and the rotation rule are the
# integrator's to edit. The maintainer scripts enable, start, stop and clean
# up the service as Debian's own service packages do.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles
  "/etc/default/wdtag-poweroff\n/etc/init.d/wdtag-poweroff\n/etc/logrotate.d/wdtag-poweroff\n")
set(CPACK_DEBIAN_WATCHDOG_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/conffiles
  ${PROJECT_SOURCE_DIR}/service/postinst ${PROJECT_SOURCE_DIR}/service/prerm
  ${PROJECT_SOURCE_DIR}/service/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The C library versions the packages need, read from the built files when
# cpack runs (neither this machine's C library nor a guess), and their time.
configure_file(cmake/cpack_project.cmake.in cpack_project.cmake.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/cpack_project.cmake
  INPUT ${CMAKE_CURRENT_BINARY_DIR}/cpack_project.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack_project.cmake)
set(CPACK_COMPONENTS_ALL watchdog)
if(WDTAG_INSTALL_STANDIN)
  list(APPEND CPACK_COMPONENTS_ALL tagsim)
endif()
include(CPack)
