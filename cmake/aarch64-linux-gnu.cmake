# Cross-compiling for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu,
# running what is built under qemu-user (package qemu-user): CTest and
# gtest_discover_tests start every test program through the emulator.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
#
# GoogleTest must be built for the target too (tests/run.sh builds Debian's
# sources from /usr/src/googletest and points CMAKE_PREFIX_PATH at them).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ROWMEND_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ROWMEND_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ROWMEND_CROSS_TRIPLE}-g++)

# The target's libraries come from Debian's cross sysroot; programs the
# build runs (none but the tests) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ROWMEND_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-aarch64 finds the target's dynamic loader and libstdc++ under -L.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${ROWMEND_CROSS_TRIPLE})
