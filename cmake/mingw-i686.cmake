# Cross-build for 32-bit Windows with mingw-w64: the plug-ins as delivered. The
# -posix compilers are the ones GoogleTest builds with; -static keeps the C and
# C++ runtimes (and winpthread) inside each binary, so a DLL imports only
# system libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(QRV_OBJDUMP i686-w64-mingw32-objdump)
set(QRV_WINE_LOADER /usr/lib/wine/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QRV_WINE_LOADER})
