# Cross build for 32-bit ARM with hardware floating point (Debian's armhf), with Debian 12's
# arm-linux-gnueabihf-g++ against the sysroot that scripts/armhf_sysroot.sh makes. Tests run
# under qemu-arm in that sysroot. ZYL_ARMHF_SYSROOT (cache variable or environment) moves it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(ZYL_ARMHF_SYSROOT "$ENV{ZYL_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot")
if(NOT ZYL_ARMHF_SYSROOT)
  set(ZYL_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../third_party/armhf-sysroot" CACHE PATH
      "armhf sysroot" FORCE)
endif()
get_filename_component(ZYL_ARMHF_SYSROOT "${ZYL_ARMHF_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${ZYL_ARMHF_SYSROOT}/usr/include")
  message(FATAL_ERROR "No armhf sysroot at ${ZYL_ARMHF_SYSROOT}: run scripts/bootstrap.sh --arch armhf")
endif()
# The sysroot travels to try_compile projects through the environment of this process.
set(ENV{ZYL_ARMHF_SYSROOT} "${ZYL_ARMHF_SYSROOT}")

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_SYSROOT "${ZYL_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${ZYL_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the sysroot's .pc files and prefixes their paths with it.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ZYL_ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${ZYL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ZYL_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The linker follows the libraries' own dependencies (libpq -> libssl, ...) inside the sysroot.
foreach(dir lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf)
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${ZYL_ARMHF_SYSROOT}/${dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${ZYL_ARMHF_SYSROOT}/${dir}")
endforeach()

# ctest and gtest_discover_tests run the test binaries through qemu in the sysroot.
find_program(ZYL_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ZYL_QEMU_ARM};-L;${ZYL_ARMHF_SYSROOT}")
