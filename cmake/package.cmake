# Debian packages made by cpack: the watchdog, and the stand-in library in
# its own. The architecture is the target's, never the build machine's.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
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
set in ${WDTAG_DEFAULTS_FILE}; a logrotate rule keeps its log. The tag
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
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_WATCHDOG_PACKAGE_NAME wdtag-poweroff)
set(CPACK_DEBIAN_TAGSIM_PACKAGE_NAME wdtag-poweroff-tagsim)
# The files in /etc are the integrator's to edit: conffiles. The maintainer
# scripts enable, start, stop and clean up the service as Debian's own
# service packages do. A library in the loader's folders: ldconfig runs
# after it is installed.
set(control ${CMAKE_CURRENT_BINARY_DIR}/control)
get_property(conffiles GLOBAL PROPERTY WDTAG_CONFFILES)
list(JOIN conffiles "\n" conffiles)
file(CONFIGURE OUTPUT ${control}/conffiles CONTENT "${conffiles}\n")
foreach(script IN ITEMS postinst prerm postrm)
  configure_file(${packaging}/${script}.in ${control}/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_WATCHDOG_PACKAGE_CONTROL_EXTRA conffiles postinst prerm postrm)
list(TRANSFORM CPACK_DEBIAN_WATCHDOG_PACKAGE_CONTROL_EXTRA PREPEND ${control}/)
set(CPACK_DEBIAN_TAGSIM_PACKAGE_CONTROL_EXTRA ${packaging}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The C library versions the packages need, read from the built files when
# cpack runs (neither this machine's C library nor a guess), and their time.
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake.in cpack_project.cmake.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/cpack_project.cmake
  INPUT ${CMAKE_CURRENT_BINARY_DIR}/cpack_project.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack_project.cmake)
set(CPACK_COMPONENTS_ALL watchdog)
if(WDTAG_INSTALL_STANDIN)
  list(APPEND CPACK_COMPONENTS_ALL tagsim)
endif()
include(CPack)
