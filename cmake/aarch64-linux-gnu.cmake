# Cross build for arm64 boards on a Debian amd64 machine, with Debian's cross
# toolchain and the arm64 libraries installed side by side with the amd64 ones
# (multiarch: SETUP_ARM64=1 scripts/setup.sh installs both).
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# No sysroot: the arm64 headers and libraries live under the machine's own /usr
# (lib/aarch64-linux-gnu), where Debian's cross compiler looks for them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Test programs (and gtest's test discovery) run under qemu user-mode emulation.
# The programs they start as children need the kernel to hand arm64 binaries to
# qemu as well (binfmt_misc; scripts/test-arm64.sh registers it).
find_program(DIAG_ARM64_EMULATOR NAMES qemu-aarch64-static qemu-aarch64)
if(DIAG_ARM64_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DIAG_ARM64_EMULATOR})
endif()
