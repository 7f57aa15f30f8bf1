# The device: 32-bit Arm, hard-float, glibc, with Debian's cross compilers.
# Target programs run here under user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(target_triplet arm-linux-gnueabihf)
set(target_root /usr/${target_triplet})

set(CMAKE_C_COMPILER ${target_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${target_triplet}-g++)

set(CMAKE_FIND_ROOT_PATH ${target_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${target_root})
