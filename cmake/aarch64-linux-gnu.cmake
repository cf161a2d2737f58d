# Cross-building for arm64 (aarch64) Linux with Debian's cross compiler (crossbuild-essential-arm64)
# and the -dev packages of architecture arm64 installed beside this machine's:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DSONARIS_IMAGE_ONLY=ON
# scripts/build-portable builds the arm64 image so, in a Debian 11 root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries in /usr/lib/aarch64-linux-gnu (Debian's multiarch folders); never this machine's own.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu)

# pkg-config reads the arm64 packages' .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
