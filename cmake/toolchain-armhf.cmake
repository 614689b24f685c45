# 32-bit ARM Linux (armhf), the unit's controller: Debian's cross compiler and the multiarch
# :armhf development packages installed beside the native ones (no separate sysroot).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Libraries, headers and CMake package files of the target only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# net-snmp's armhf headers and link names, unpacked by `scripts/setup --target armhf` (its
# development package cannot be installed beside the amd64 one); snmp/ looks here first.
set(SMD_NETSNMP_ROOT /opt/smdhost-armhf/netsnmp CACHE PATH "unpacked libsnmp-dev of the target")

# ctest and test discovery run armhf programs through qemu-user; "-L /" lets the emulated
# loader find the multiarch libraries without binfmt_misc.
find_program(SMD_QEMU_ARM qemu-arm)
if(SMD_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SMD_QEMU_ARM} -L /)
endif()
