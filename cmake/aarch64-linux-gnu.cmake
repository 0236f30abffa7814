# Cross-compiling terramod for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DTERRAMOD_BUILD_TESTS=OFF
# The target's libraries are those of Debian's multiarch packages for arm64
# (libfftw3-dev:arm64, ...) under /usr/lib/aarch64-linux-gnu, or those of a
# sysroot given with -DCMAKE_SYSROOT=DIR. The build machine's libraries are
# never taken; the top-level CMakeLists.txt points pkg-config at the target's
# folders (TERRAMOD_PKG_CONFIG_LIBDIR) and leaves out any optional library
# that does not link for the target. The programs run on an x86-64 machine
# under qemu-user: qemu-aarch64 -L /usr/aarch64-linux-gnu build-arm64/terramod ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TERRAMOD_CROSS_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${TERRAMOD_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TERRAMOD_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TERRAMOD_CROSS_TRIPLET})

# Programs (pkg-config, the compilers' tools) are the build machine's; with a
# sysroot, libraries, headers and packages come from it alone.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(CMAKE_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# What runs the target's programs here (ctest, try_run).
find_program(TERRAMOD_QEMU_AARCH64 qemu-aarch64)
if(TERRAMOD_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TERRAMOD_QEMU_AARCH64} -L /usr/${TERRAMOD_CROSS_TRIPLET})
endif()
