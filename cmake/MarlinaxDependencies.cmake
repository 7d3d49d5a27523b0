# Every external library comes from Debian's packages (scripts/install-deps.sh).
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(PkgConfig REQUIRED)

# Standalone Asio is header-only.
add_library(marlinax_asio INTERFACE)
# Asio picks its aligned allocator by what the standard headers included before it
# declare; translation units that disagree would free with the wrong function.
target_compile_definitions(marlinax_asio INTERFACE ASIO_NO_DEPRECATED ASIO_DISABLE_STD_ALIGNED_ALLOC)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # Asio 1.22 only detects coroutine support on g++ and libc++.
  target_compile_definitions(marlinax_asio INTERFACE ASIO_HAS_CO_AWAIT=1 ASIO_HAS_STD_COROUTINE=1)
endif()
target_link_libraries(marlinax_asio INTERFACE Threads::Threads)
add_library(marlinax::asio ALIAS marlinax_asio)

pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xext xrandr xdamage xfixes xtst)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
# The libjpeg API, for restart markers (TurboJPEG 2.1 cannot set them).
pkg_check_modules(LIBJPEG REQUIRED IMPORTED_TARGET libjpeg)
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)

# Wayland backends (optional: without them the build serves X11 only).
pkg_check_modules(PIPEWIRE QUIET IMPORTED_TARGET libpipewire-0.3)
pkg_check_modules(SDBUS QUIET IMPORTED_TARGET libsystemd)
pkg_check_modules(WAYLAND_CLIENT QUIET IMPORTED_TARGET wayland-client)
pkg_check_modules(WAYLAND_PROTOCOLS QUIET wayland-protocols)
find_program(WAYLAND_SCANNER wayland-scanner)

# libyuv ships neither a pkg-config nor a CMake file.
find_library(YUV_LIBRARY yuv REQUIRED)
find_path(YUV_INCLUDE_DIR libyuv.h REQUIRED)
add_library(marlinax_yuv INTERFACE)
target_link_libraries(marlinax_yuv INTERFACE ${YUV_LIBRARY})
target_include_directories(marlinax_yuv INTERFACE ${YUV_INCLUDE_DIR})
add_library(marlinax::yuv ALIAS marlinax_yuv)

if(NOT MARLINAX_FUZZ)
  find_package(GTest REQUIRED)
  find_package(benchmark REQUIRED)
  # The application's window (src/app, tools/app) and its tests.
  find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Test)
endif()
