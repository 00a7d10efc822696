# Cross-compiling the Windows build with Debian's mingw-w64 (the posix-threads flavour of
# g++, for std::thread and std::mutex):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Every program and the DLL link the C and C++ run-times and winpthread statically, so
# quillmar-s3.dll and quillmar-s3d.exe need no other DLL than Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILLMAR_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QUILLMAR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLMAR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLMAR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLMAR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Windows 8 and later (GetSystemTimePreciseAsFileTime, ReOpenFile); the C99 printf family,
# so "%zu" and "%lld" print as on Linux. GCC still checks format(printf) attributes against
# the Microsoft printf here, which lacks "%zu"; the Linux build checks the same formats.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0602 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D__USE_MINGW_ANSI_STDIO=1 -Wno-format")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0602 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D__USE_MINGW_ANSI_STDIO=1 -Wno-format")

# Test programs run under Wine when cross-compiled from Linux.
find_program(QUILLMAR_WINE NAMES wine64 wine)
if(QUILLMAR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLMAR_WINE})
endif()
