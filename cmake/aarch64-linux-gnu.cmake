# arm64 Linux with Debian's g++-aarch64-linux-gnu, against a Debian arm64 root
# (-DCALLBACK_MODEL_SYSROOT=<root>: the interpreter's headers and libraries,
# the libc the module links against); -DPython_EXECUTABLE=<root>/usr/bin/python3.X
# answers FindPython's questions under qemu's user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CALLBACK_MODEL_SYSROOT)  # CMake's own test projects too
if(NOT CALLBACK_MODEL_SYSROOT)
  message(FATAL_ERROR "An arm64 build needs -DCALLBACK_MODEL_SYSROOT=<Debian arm64 root>.")
endif()
set(CMAKE_SYSROOT "${CALLBACK_MODEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${CALLBACK_MODEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${CALLBACK_MODEL_SYSROOT}")
# A program linked against the root's libpython needs the root's libc, which
# may be newer than the cross toolchain's own: look in the root first.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-L${CALLBACK_MODEL_SYSROOT}/usr/lib/aarch64-linux-gnu -L${CALLBACK_MODEL_SYSROOT}/lib/aarch64-linux-gnu -Wl,-rpath-link,${CALLBACK_MODEL_SYSROOT}/usr/lib/aarch64-linux-gnu")
