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

# The service's fixed values, each written here once. The service files and
# the package's scripts take them as @NAME@; the suites and the boards read
# them from service.conf in the build tree, NAME=value lines.
set(WDTAG_DEFAULTS_FILE /etc/default/wdtag-poweroff)
set(WDTAG_INIT_SCRIPT /etc/init.d/wdtag-poweroff)
set(WDTAG_LOGROTATE_RULE /etc/logrotate.d/wdtag-poweroff)
set(WDTAG_LOG /var/log/wdtag_poweroff.log)
set(WDTAG_PIDFILE /run/wdtag-poweroff.pid)
# The watchdog's search path: killall must be the system's own.
set(WDTAG_PATH /usr/sbin:/usr/bin:/sbin:/bin)
# The guard must survive memory pressure: the OOM killer never picks it.
set(WDTAG_OOM_SCORE_ADJ -1000)
set(WDTAG_SUMMARY "Tag watchdog: restarts the machine when its tag is held at 1")
set(service_values WDTAG_DEFAULTS_FILE WDTAG_INIT_SCRIPT WDTAG_LOGROTATE_RULE WDTAG_LOG
    WDTAG_PIDFILE WDTAG_PATH WDTAG_OOM_SCORE_ADJ WDTAG_SUMMARY)
foreach(name IN LISTS service_values)
  string(APPEND values_code "set(${name} [==[${${name}}]==])\n")
  string(APPEND values_conf "${name}=${${name}}\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/service.conf CONTENT "${values_conf}" @ONLY)

# The service files live where the system looks for them, whatever the
# prefix, and name the program under the prefix in use when installing: a
# package's is always /usr, cmake --install's the one it is given.
set(WDTAG_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/wdtag-poweroff)
set(WDTAG_LAUNCHER ${CMAKE_INSTALL_LIBEXECDIR}/wdtag-poweroff/start)
set(installed_services ${CMAKE_CURRENT_BINARY_DIR}/installed-services)
install(CODE "${values_code}
  set(WDTAG_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/wdtag_poweroff\")
  set(WDTAG_LAUNCHER \"\${CMAKE_INSTALL_PREFIX}/${WDTAG_LAUNCHER}\")
  set(WDTAG_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${WDTAG_DOCDIR}\")
  foreach(file IN ITEMS wdtag-poweroff.service wdtag-poweroff.init wdtag-poweroff-start
                        wdtag-poweroff.logrotate)
    configure_file(${PROJECT_SOURCE_DIR}/service/\${file}.in ${installed_services}/\${file} @ONLY)
  endforeach()" COMPONENT watchdog)
install(FILES ${installed_services}/wdtag-poweroff.service
  DESTINATION /lib/systemd/system COMPONENT watchdog)
install(PROGRAMS ${installed_services}/wdtag-poweroff-start
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/wdtag-poweroff RENAME start COMPONENT watchdog)

# install_conffile(KIND SOURCE PATH): SOURCE installed as PATH, in /etc, which
# the package lists as a conffile: the integrator's to edit.
function(install_conffile kind source path)
  get_filename_component(folder ${path} DIRECTORY)
  get_filename_component(name ${path} NAME)
  install(${kind} ${source} DESTINATION ${folder} RENAME ${name} COMPONENT watchdog)
  set_property(GLOBAL APPEND PROPERTY WDTAG_CONFFILES ${path})
endfunction()
install_conffile(FILES service/wdtag-poweroff.default ${WDTAG_DEFAULTS_FILE})
install_conffile(PROGRAMS ${installed_services}/wdtag-poweroff.init ${WDTAG_INIT_SCRIPT})
install_conffile(FILES ${installed_services}/wdtag-poweroff.logrotate ${WDTAG_LOGROTATE_RULE})
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
