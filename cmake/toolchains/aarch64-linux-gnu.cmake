# Cross build for the board (64-bit ARM) with Debian's cross compiler
# (g++-aarch64-linux-gnu) and arm64 libraries installed through multiarch
# (dpkg --add-architecture arm64; libc6-dev:arm64, libgpiod-dev:arm64).
#
#   cmake --preset aarch64        (or -DCMAKE_TOOLCHAIN_FILE=<this file>)
#
# Test programs run under user-mode emulation when qemu-aarch64 is installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KIT_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${KIT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KIT_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KIT_CROSS_TRIPLE})

# Multiarch keeps the arm64 libraries in the host's own tree
# (/usr/lib/aarch64-linux-gnu), so there is no separate sysroot: programs
# come from the host, libraries and headers from the arm64 directories.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must see only the arm64 .pc files; the host's would hand the
# linker amd64 libraries of the same name.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KIT_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Plain qemu-aarch64 without -L: with libc6:arm64 installed the loader and libc
# come from /lib/aarch64-linux-gnu. Pointing -L at /usr/aarch64-linux-gnu mixes
# the cross toolchain's loader with the multiarch libc and hangs pthread_create.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KIT_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
  if(KIT_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KIT_QEMU_AARCH64})
  endif()
endif()
