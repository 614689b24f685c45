# 32-bit ARM Linux (armhf), the unit's controller: Debian's cross compiler, and the target's
# armhf development packages unpacked into a root of their own by `scripts/setup --target armhf`.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(SMD_TARGET_ROOT /opt/smdhost-armhf/root CACHE PATH "the target's file system")
set(CMAKE_SYSROOT ${SMD_TARGET_ROOT})

# Libraries, headers and CMake package files of the target only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and test discovery run armhf programs through qemu-user; "-L" lets the emulated loader
# find the target's libraries without binfmt_misc.
find_program(SMD_QEMU_ARM qemu-arm)
if(SMD_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SMD_QEMU_ARM} -L ${SMD_TARGET_ROOT})
endif()
