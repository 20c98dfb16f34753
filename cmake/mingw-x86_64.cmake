# A 64-bit Windows build of the same sources, for running the Windows platform
# code and the test suites under 64-bit Wine on machines that cannot execute
# 32-bit programs. The deliverables are the 32-bit build's (mingw-i686.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(QRV_OBJDUMP x86_64-w64-mingw32-objdump)
# Debian's `wine` picks the 32-bit loader whenever it is installed.
set(QRV_WINE_LOADER /usr/lib/wine/wine64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QRV_WINE_LOADER})
