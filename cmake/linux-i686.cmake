# 32-bit x86 Linux build with the system compilers' -m32 (gcc-multilib,
# g++-multilib): the plug-ins' code as 32-bit x86 code, as the delivered DLLs
# run it, and its suites as 32-bit programs. They run under qemu-i386
# (qemu-user), which translates the code itself and so needs no 32-bit support
# from the kernel; its timings mean nothing, its results do.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Only 32-bit libraries: pkg-config must not offer the 64-bit ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
