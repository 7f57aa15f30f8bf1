# Compile and link settings shared by the program, the stand-in library and
# the test doubles.

add_compile_options(
  -Wall -Wextra -Werror -Wshadow -Wconversion -Wsign-conversion
  -Wformat=2 -Wcast-align -Wnull-dereference -Wold-style-cast
  -fno-exceptions -fno-rtti)

# Nothing here may need libstdc++ or libgcc_s on the device: drop what the
# C++ driver links but nothing uses, and take the few libgcc helpers statically.
add_link_options(-static-libgcc -Wl,--as-needed -Wl,-z,relro,-z,now)

# RUNPATH rather than RPATH, so that LD_LIBRARY_PATH can put another
# implementation of the tag library in place without relinking.
add_link_options(-Wl,--enable-new-dtags)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Sanitizer builds: "address,undefined" or "thread". A report ends the
# process, and is also kept in the build tree for the check after the tests.
set(WDTAG_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
if(WDTAG_SANITIZE)
  add_compile_options(-fsanitize=${WDTAG_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${WDTAG_SANITIZE})
endif()

# The C library that the build's headers belong to. A device build against a
# pinned sysroot must really use its headers: a newer C library's would let
# the build ask for symbols that the device lacks.
file(WRITE ${CMAKE_BINARY_DIR}/glibc_version.cpp
  "#include <features.h>\nglibc_version __GLIBC__ __GLIBC_MINOR__\n")
separate_arguments(header_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${header_flags} -E -P
  ${CMAKE_BINARY_DIR}/glibc_version.cpp OUTPUT_VARIABLE preprocessed)
if(NOT preprocessed MATCHES "glibc_version ([0-9]+) ([0-9]+)")
  message(FATAL_ERROR "Cannot tell which glibc the headers in use belong to")
endif()
set(WDTAG_TARGET_GLIBC ${CMAKE_MATCH_1}.${CMAKE_MATCH_2})
message(STATUS "C library headers: glibc ${WDTAG_TARGET_GLIBC}")
if(WDTAG_EXPECTED_GLIBC AND NOT WDTAG_TARGET_GLIBC VERSION_EQUAL WDTAG_EXPECTED_GLIBC)
  message(FATAL_ERROR "The headers in use are glibc ${WDTAG_TARGET_GLIBC}'s, "
    "not the sysroot's glibc ${WDTAG_EXPECTED_GLIBC}. A build tree configured before "
    "keeps its old compiler flags: remove ${CMAKE_BINARY_DIR} and configure again.")
endif()
