# 32-bit Windows (the platform Tidewell was designed for) with Debian's mingw-w64:
#   cmake --preset windows   (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake)
set(TIDEWELL_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
