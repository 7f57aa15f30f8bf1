# The install layout: the program, its service files and documents, and
# where wanted the stand-in library. A device has the vendor's own library.
include(GNUInstallDirs)
set(standin_default ${PROJECT_IS_TOP_LEVEL})
if(CMAKE_CROSSCOMPILING)
  set(standin_default OFF)
endif()
option(WDTAG_INSTALL_STANDIN "Install the stand-in tag library (off for a device)" ${standin_default})

include(${CMAKE_CURRENT_LIST_DIR}/documents.cmake)
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

# Installs a target. A stripped install (cmake --install --strip, and the
# packages) also drops the compilers' .comment notes, as Debian's own
# packages do. Like CMake's own strip, a tool that does not know the target
# only warns.
function(install_target target destination component)
  install(TARGETS ${target} DESTINATION ${destination} COMPONENT ${component})
  set(file "${destination}/$<TARGET_FILE_NAME:${target}>")
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" RESULT_VARIABLE failed)
      if(failed)
        message(WARNING \"${file} keeps its .comment section: ${CMAKE_OBJCOPY} failed\")
      endif()
    endif()" COMPONENT ${component})
endfunction()

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
  install(FILES ${packaging}/wdtag-poweroff.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME wdtag-poweroff
    COMPONENT watchdog)
endif()

install_target(wdtag_poweroff ${CMAKE_INSTALL_SBINDIR} watchdog)

# The service files live where the system looks for them, whatever the
# prefix, and name the program under the prefix in use when installing: a
# package's is always /usr, cmake --install's the one it is given.
set(WDTAG_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/wdtag-poweroff)
set(WDTAG_LAUNCHER ${CMAKE_INSTALL_LIBEXECDIR}/wdtag-poweroff/start)
set(installed_services ${CMAKE_CURRENT_BINARY_DIR}/installed-services)
install(CODE "
  set(WDTAG_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/wdtag_poweroff\")
  set(WDTAG_LAUNCHER \"\${CMAKE_INSTALL_PREFIX}/${WDTAG_LAUNCHER}\")
  set(WDTAG_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${WDTAG_DOCDIR}\")
  set(WDTAG_DEFAULTS_FILE /etc/default/wdtag-poweroff)
  configure_file(${PROJECT_SOURCE_DIR}/service/wdtag-poweroff.service.in
    ${installed_services}/wdtag-poweroff.service @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/service/wdtag-poweroff.init.in
    ${installed_services}/wdtag-poweroff @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/service/wdtag-poweroff-start.in
    ${installed_services}/start @ONLY)" COMPONENT watchdog)
install(FILES ${installed_services}/wdtag-poweroff.service
  DESTINATION /lib/systemd/system COMPONENT watchdog)
install(PROGRAMS ${installed_services}/wdtag-poweroff DESTINATION /etc/init.d COMPONENT watchdog)
install(PROGRAMS ${installed_services}/start DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/wdtag-poweroff
  COMPONENT watchdog)
install(FILES service/wdtag-poweroff.default
  DESTINATION /etc/default RENAME wdtag-poweroff COMPONENT watchdog)
install(FILES service/wdtag-poweroff.logrotate
  DESTINATION /etc/logrotate.d RENAME wdtag-poweroff COMPONENT watchdog)
install(FILES docs/integrating.md ${documents}/copyright ${documents}/changelog.gz
  DESTINATION ${WDTAG_DOCDIR} COMPONENT watchdog)
install(FILES service/confined.conf DESTINATION ${WDTAG_DOCDIR}/examples COMPONENT watchdog)
install(FILES ${documents}/wdtag_poweroff.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
  COMPONENT watchdog)

if(WDTAG_INSTALL_STANDIN)
  install_target(tagsim ${CMAKE_INSTALL_LIBDIR} tagsim)
  install(FILES ${documents}/copyright ${documents}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/wdtag-poweroff-tagsim COMPONENT tagsim)
  install(FILES ${packaging}/wdtag-poweroff-tagsim.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME wdtag-poweroff-tagsim
    COMPONENT tagsim)
endif()
