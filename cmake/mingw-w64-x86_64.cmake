# 64-bit Windows with Debian's mingw-w64. The same programs as the 32-bit build; it is there for
# machines whose kernel runs no 32-bit code, where Wine can only run 64-bit programs.
set(TIDEWELL_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
