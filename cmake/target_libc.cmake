# The C library that the build really compiles and links against: the files
# that the compiler finds with this tree's flags, which may not be the ones
# its sysroot holds. A device build that took a newer C library's headers or
# libc.so would ask for symbols that the device lacks.

# Flags are made once per build tree, for one sysroot; a tree configured
# again for another would mix the two.
if(DEFINED CACHE{WDTAG_FLAGS_SYSROOT} AND NOT "${WDTAG_FLAGS_SYSROOT}" STREQUAL "${CMAKE_SYSROOT}")
  message(FATAL_ERROR "This build tree's compiler flags were made for the sysroot "
    "'${WDTAG_FLAGS_SYSROOT}', and it is now configured for '${CMAKE_SYSROOT}'. "
    "Configure a new build tree for the new sysroot (cmake --preset armhf -B <folder> ...), "
    "or remove ${CMAKE_BINARY_DIR}, or set WDTAG_SYSROOT back.")
endif()
set(WDTAG_FLAGS_SYSROOT "${CMAKE_SYSROOT}" CACHE INTERNAL "The sysroot this tree's flags were made for")

separate_arguments(compiler_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS} ${CMAKE_EXE_LINKER_FLAGS}")
set(sysroot "${CMAKE_SYSROOT}")
if(sysroot)
  list(APPEND compiler_flags --sysroot=${sysroot})
else()
  # A compiler with a built-in sysroot, as an SDK's own compiler is.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-sysroot
    OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

file(WRITE ${CMAKE_BINARY_DIR}/glibc_version.cpp
  "#include <features.h>\nglibc_version __GLIBC__ __GLIBC_MINOR__\n")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${compiler_flags} -E -P
  ${CMAKE_BINARY_DIR}/glibc_version.cpp OUTPUT_VARIABLE preprocessed)
if(NOT preprocessed MATCHES "glibc_version ([0-9]+) ([0-9]+)")
  message(FATAL_ERROR "Cannot tell which glibc the compiler's headers belong to")
endif()
set(WDTAG_TARGET_GLIBC ${CMAKE_MATCH_1}.${CMAKE_MATCH_2})
execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${compiler_flags} -M
  ${CMAKE_BINARY_DIR}/glibc_version.cpp OUTPUT_VARIABLE dependencies)
string(REGEX MATCH "[^ \\\n]*/features\\.h" libc_files "${dependencies}")
foreach(name libc.so crt1.o)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${compiler_flags} -print-file-name=${name}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(APPEND libc_files ${path})
endforeach()
list(JOIN libc_files ", " libc_list)
message(STATUS "C library: glibc ${WDTAG_TARGET_GLIBC} (${libc_list})")

file(REAL_PATH "${sysroot}/" sysroot)
if(NOT sysroot STREQUAL "/")
  foreach(path IN LISTS libc_files)
    file(REAL_PATH ${path} real_path)
    string(FIND "${real_path}/" "${sysroot}/" at)
    if(NOT at EQUAL 0)
      message(FATAL_ERROR "The compiler takes ${real_path}, outside the sysroot ${sysroot}: "
        "its own C library would be mixed with the sysroot's. Give it the sysroot's "
        "folders (see cmake/toolchain-armhf.cmake), or use the SDK's own compiler.")
    endif()
  endforeach()
endif()
