# Cross-compiles for 64-bit Arm Linux with Debian's crossbuild-essential-arm64. Target libraries
# (GoogleTest, Google Benchmark, ...) come from Debian multiarch packages such as
# libgtest-dev:arm64, installed under /usr/lib/aarch64-linux-gnu next to the host's own. Programs
# built here run under qemu-aarch64 (Debian qemu-user), so ctest runs the whole suite as is.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MUREL_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${MUREL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MUREL_CROSS_TRIPLET}-g++)

# Search the multiarch folders of this triplet (lib/aarch64-linux-gnu, lib/aarch64-linux-gnu/cmake)
# under the usual prefixes; the host's x86-64 folders are never searched for libraries.
set(CMAKE_LIBRARY_ARCHITECTURE ${MUREL_CROSS_TRIPLET})
# The cross C library and loader.
set(MUREL_CROSS_SYSROOT /usr/${MUREL_CROSS_TRIPLET})
list(APPEND CMAKE_FIND_ROOT_PATH ${MUREL_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config for the target's .pc files (from pkgconf:arm64).
find_program(MUREL_CROSS_PKG_CONFIG NAMES ${MUREL_CROSS_TRIPLET}-pkg-config)
if(MUREL_CROSS_PKG_CONFIG)
  set(PKG_CONFIG_EXECUTABLE ${MUREL_CROSS_PKG_CONFIG} CACHE FILEPATH "pkg-config for the target" FORCE)
endif()

# Runs target programs: test discovery, ctest and custom commands. -L makes qemu use the cross
# loader. The loader and the C library must come from the same glibc build, and the multiarch
# libc6:arm64 (pulled in by the -dev packages, found through ld.so.cache) is usually a different
# Debian revision than libc6-arm64-cross: pthread_create then loops forever. So the cross C and C++
# libraries go first on the guest's library path; other libraries still resolve from multiarch.
find_program(MUREL_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(MUREL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${MUREL_QEMU_AARCH64} -L ${MUREL_CROSS_SYSROOT} -E LD_LIBRARY_PATH=${MUREL_CROSS_SYSROOT}/lib)
endif()
