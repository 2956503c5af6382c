set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# The ARM libraries beyond the cross toolchain's own (libfuse3) come from the
# project's private ARM root (scripts/armroot; scripts/setup armhf makes it),
# never from multiarch packages of the host: a foreign architecture in the
# host's package database ties its installs to every foreign index. Where
# such packages were installed earlier, they are not looked at.
if(DEFINED ENV{ORLITH_ARM_ROOT})
  set(ORLITH_ARM_ROOT $ENV{ORLITH_ARM_ROOT})
elseif(DEFINED ENV{ORLITH_ARM_CACHE})
  set(ORLITH_ARM_ROOT $ENV{ORLITH_ARM_CACHE}/root)
else()
  set(ORLITH_ARM_ROOT /var/cache/orlith-arm/root)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf ${ORLITH_ARM_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The cross toolchain's C library, loader and libraries together: the loader
# from -L would otherwise find another libc of another build than itself.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/arm-linux-gnueabihf;-E;LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORLITH_ARM_ROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${ORLITH_ARM_ROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ORLITH_ARM_ROOT}/usr/share/pkgconfig)
