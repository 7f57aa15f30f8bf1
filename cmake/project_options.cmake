# Compile and link settings of the project's own targets, which link
# project_options: the program, the stand-in library, the test doubles and
# the shims. Warnings are errors in the project's presets
# (CMAKE_COMPILE_WARNING_AS_ERROR), not in every build: another compiler in
# a vendor's SDK may warn where this one does not.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE
  -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion
  -Wformat=2 -Wcast-align -Wnull-dereference -Wold-style-cast
  -fno-exceptions -fno-rtti)

# Debian's hardening where it applies: checked string and print functions
# (they need optimisation, so not in Debug builds, which the sanitizers use),
# 64-bit file offsets for the 32-bit device, and the stack protector.
target_compile_options(project_options INTERFACE
  $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE$<SEMICOLON>-D_FORTIFY_SOURCE=2>)
target_compile_definitions(project_options INTERFACE _FILE_OFFSET_BITS=64)
# A canary in each function with a local array or a local whose address is
# taken, as Debian's flags give: a smashed stack ends the process there.
target_compile_options(project_options INTERFACE -fstack-protector-strong)

# The same bytes from any build folder: no folder name in the binaries, and
# a build-tree RUNPATH relative to the program (the build ID is hashed over it).
target_compile_options(project_options INTERFACE
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/= -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)

# Nothing here may need libstdc++ or libgcc_s on the device: drop what the
# C++ driver links but nothing uses, and take the few libgcc helpers
# statically. RUNPATH rather than RPATH, so that LD_LIBRARY_PATH can put
# another implementation of the tag library in place without relinking.
target_link_options(project_options INTERFACE
  -static-libgcc -Wl,--as-needed -Wl,-z,relro,-z,now -Wl,--enable-new-dtags)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Sanitizer builds: "address,undefined" or "thread". A report ends the
# process, and is also kept in the build tree for the check after the tests.
set(WDTAG_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")
if(WDTAG_SANITIZE)
  target_compile_options(project_options INTERFACE -fsanitize=${WDTAG_SANITIZE}
    -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(project_options INTERFACE -fsanitize=${WDTAG_SANITIZE})
endif()

include(${CMAKE_CURRENT_LIST_DIR}/target_libc.cmake)
