# Cross build for 32-bit ARM: Debian's arm-linux-gnueabi compiler (ARMv5TE, soft float,
# little-endian), the oldest processor of the device family. Programs run under qemu-arm, which
# CTest uses as the emulator, with the cross C library as its prefix (they link it dynamically, so
# that the platform layer can dlopen a shared library as on the host).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")

# zlib for armel comes from Debian's packages, unpacked by scripts/arm_sysroot.sh.
if(NOT QZP_ARM_SYSROOT)
  set(QZP_ARM_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../../build/sysroot-armel)
endif()
set(CMAKE_FIND_ROOT_PATH ${QZP_ARM_SYSROOT} /usr/arm-linux-gnueabi)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ZLIB_USE_STATIC_LIBS ON)

# iconv finds the code-page converters of the same C library in the sysroot.
get_filename_component(QZP_ARM_GCONV ${QZP_ARM_SYSROOT}/usr/lib/arm-linux-gnueabi/gconv ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabi -E GCONV_PATH=${QZP_ARM_GCONV})
