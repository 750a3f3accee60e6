# Cross-building the command line for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu:
# `cmake --preset arm64`. Its libraries (Paho, OpenSSL) are the arm64 packages of Debian's
# multiarch, in /usr/lib/aarch64-linux-gnu beside the machine's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config (through which FindOpenSSL looks first) reads the arm64 packages' .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
