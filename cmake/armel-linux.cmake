# The host configuration for 32-bit ARM Linux (Debian's armel cross compiler, ARMv5TE), whose
# tests run on this host under qemu-user:
#   cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel-linux.cmake -DZELT_BUILD_TESTS=ON
# The device's CPU is 32-bit ARM: size_t and pointers are 32 bits, char is unsigned, division
# goes through helpers. Programs are linked statically, so that the emulator needs no library
# prefix (whose -L also redirects the programs' absolute paths).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# The test program runs through the emulator, and so does every child of its own CPU it starts
# (ZELT_CHILD_RUNNER, which the test command sets).
set(ZELT_TEST_RUNNER qemu-arm CACHE STRING "Command that runs an ARM program of the build on this host")
