# Example toolchain file: 32-bit ARM (hard float) with Debian's cross compiler.
# Copy it for another target: set the compilers, and CMAKE_SYSROOT when the
# target's libraries live in a vendor SDK's sysroot. pkg-config must look at
# the target's .pc files: export PKG_CONFIG_LIBDIR (and PKG_CONFIG_SYSROOT_DIR
# with a sysroot) before configuring.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
