# Cross-compiling for 64-bit ARM Linux with Debian's cross compiler; tests
# run under qemu-user, which checks what the program computes, not its speed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The emulated programs load the arm64 C and C++ libraries of the machine's
# own arm64 architecture (libc6:arm64, libstdc++6:arm64), which also bring the
# character set converters the tests compare against.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
