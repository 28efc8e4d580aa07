# Cross-compiling Tidewell for Windows with Debian's mingw-w64. Included by the per-architecture
# toolchain files, which set TIDEWELL_MINGW_ARCH first (i686 for the 32-bit programs we ship,
# x86_64 for a 64-bit build).
#
# The "-posix" compilers are the ones with the winpthreads threading model, so std::mutex and
# std::thread exist (GoogleTest needs them). Everything is linked statically: each .exe stands
# alone, without libgcc, libstdc++ or libwinpthread DLLs beside it.

if(NOT TIDEWELL_MINGW_ARCH)
  message(FATAL_ERROR "Include mingw-w64-i686.cmake or mingw-w64-x86_64.cmake, not this file")
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TIDEWELL_MINGW_ARCH})

set(TIDEWELL_MINGW_TRIPLE ${TIDEWELL_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${TIDEWELL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TIDEWELL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TIDEWELL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TIDEWELL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")  # no symbol tables in the programs we ship

# No CMAKE_CROSSCOMPILING_EMULATOR on purpose: nothing in a Windows build may start Wine by
# itself. The Wine tests (tests/windows/) start it as an unprivileged user, never as root.
