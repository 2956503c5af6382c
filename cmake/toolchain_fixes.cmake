# Debian cannot install gcc-multilib beside the ARM cross compiler, and without
# it the 32-bit build misses the asm/ headers. The 64-bit ones are identical for
# what we use, so a link to them in the build tree stands in.
if(ORLITH_M32)
  set(ORLITH_ASM_DIR ${CMAKE_BINARY_DIR}/m32-include)
  if(NOT EXISTS ${ORLITH_ASM_DIR}/asm)
    file(MAKE_DIRECTORY ${ORLITH_ASM_DIR})
    file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${ORLITH_ASM_DIR}/asm SYMBOLIC)
  endif()
  list(APPEND CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${ORLITH_ASM_DIR})
  list(APPEND CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${ORLITH_ASM_DIR})
  # pkg-config must not offer the 64-bit libraries to the 32-bit link; the
  # i386 libfuse3 is not installed, so the simulated phone's driver comes
  # from the default build.
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
endif()
