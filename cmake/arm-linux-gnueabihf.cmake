# Cross build for the device's 32-bit ARM processor with Debian's cross compiler and armhf multiarch libraries:
#   dpkg --add-architecture armhf && apt-get install g++-arm-linux-gnueabihf qemu-user \
#       libpng-dev:armhf libgtest-dev:armhf libbenchmark-dev:armhf
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# Test binaries run under qemu-user against the armhf multiarch libraries (libc6:armhf and friends, found from
# the root like on the device), not the cross compiler's own copy of glibc: under qemu 7.2 a fork() with that
# copy crashes the child before it returns, while the multiarch glibc of the same version works.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# Headers and libraries of the target only; programs (python3 for the generator) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(SERVICE_TEST_EMULATOR qemu-arm -L / CACHE STRING "" FORCE)
