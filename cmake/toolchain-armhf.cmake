# The device: 32-bit Arm, hard-float, glibc, with Debian's cross compilers.
# Target programs run here under user-mode emulation.
#
# The build compiles and links against a sysroot, never against the cross
# compiler's own C library (Debian 12's glibc 2.36, newer than many devices):
#   WDTAG_SYSROOT       a sysroot to use, such as the one in a vendor's SDK;
#                       empty: Debian 11's glibc 2.31, pinned and made here
#   WDTAG_SYSROOT_DEBS  a folder holding the pinned Debian 11 .debs, for when
#                       Debian's archive no longer serves them (also taken
#                       from the environment variable of that name)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(target_triplet arm-linux-gnueabihf)
# Another of Debian's cross compilers may be named: -DCMAKE_CXX_COMPILER=...
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${target_triplet}-g++)
endif()

set(WDTAG_SYSROOT "" CACHE PATH "Sysroot to build against (a vendor's SDK); empty: Debian 11's, pinned")
set(WDTAG_SYSROOT_DEBS "$ENV{WDTAG_SYSROOT_DEBS}" CACHE PATH
  "Folder with the pinned Debian 11 .debs, when the archive fails (default: the environment's)")
include(${CMAKE_CURRENT_LIST_DIR}/cache_dir.cmake)
# try_compile projects run this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WDTAG_SYSROOT WDTAG_SYSROOT_DEBS WDTAG_CACHE_DIR)

get_filename_component(project_dir ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
# Made once in the cache, and again whenever the pins change.
set(WDTAG_PINNED_SYSROOT ${WDTAG_CACHE_DIR}/sysroot/debian11-armhf)
if(WDTAG_SYSROOT)
  set(sysroot ${WDTAG_SYSROOT})
else()
  set(sysroot ${WDTAG_PINNED_SYSROOT})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WDTAG_CACHE=${WDTAG_CACHE_DIR}
    ${project_dir}/scripts/make-sysroot ${sysroot} ${WDTAG_SYSROOT_DEBS} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "No sysroot for the device build: Debian 11's armhf C library "
      "could not be fetched or checked (see above). Set WDTAG_SYSROOT_DEBS to a folder "
      "holding the .debs pinned in ${project_dir}/cmake/debian11-armhf.pins, or "
      "WDTAG_SYSROOT to another sysroot.")
  endif()
endif()
if(NOT EXISTS ${sysroot}/usr/include/stdlib.h)
  message(FATAL_ERROR "WDTAG_SYSROOT ${sysroot} holds no C library headers (usr/include/stdlib.h)")
endif()

# Multiarch folders where the sysroot has them, as Debian's do.
set(sysroot_lib ${sysroot}/usr/lib)
if(IS_DIRECTORY ${sysroot}/usr/lib/${target_triplet})
  set(sysroot_lib ${sysroot}/usr/lib/${target_triplet})
endif()
set(sysroot_include ${sysroot}/usr/include)
if(IS_DIRECTORY ${sysroot}/usr/include/${target_triplet})
  set(sysroot_include ${sysroot}/usr/include/${target_triplet} ${sysroot}/usr/include)
endif()

set(CMAKE_SYSROOT ${sysroot})
set(CMAKE_FIND_ROOT_PATH ${sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The cross compiler searches its own C headers (2.36) before a sysroot's,
# and -isystem alone mixes the two through libstdc++'s #include_next: list
# every folder, in order, with nothing else.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
  OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(libstdcxx_include /usr/${target_triplet}/include/c++/${gcc_major})
set(include_flags -nostdinc)
foreach(folder ${libstdcxx_include} ${libstdcxx_include}/${target_triplet}
               ${libstdcxx_include}/backward ${gcc_include} ${sysroot_include})
  list(APPEND include_flags -isystem ${folder})
endforeach()
list(JOIN include_flags " " include_flags)
set(CMAKE_CXX_FLAGS_INIT "${include_flags}")

# --sysroot alone still takes the cross compiler's start-up files and libc.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-B${sysroot_lib}/")
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${sysroot})
