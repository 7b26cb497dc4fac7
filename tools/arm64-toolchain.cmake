# Debian's cross compiler for arm64, with the arm64 development files that tools/cross-test.sh
# unpacks into PICTOR_SYSROOT (libopenexr-dev can't be installed for two architectures at once).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_FIND_ROOT_PATH ${PICTOR_SYSROOT} /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-Wl,-rpath-link,${PICTOR_SYSROOT}/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,${PICTOR_SYSROOT}/lib/aarch64-linux-gnu")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
# Programs of the build (the tests, and the tests' listing at build time) run under qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
  -E LD_LIBRARY_PATH=${PICTOR_SYSROOT}/usr/lib/aarch64-linux-gnu:${PICTOR_SYSROOT}/lib/aarch64-linux-gnu)
