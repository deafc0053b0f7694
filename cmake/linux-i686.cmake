# Cross-builds mapconv and its tests for 32-bit x86 Linux with Debian's i686 cross compiler, with
# SSE2 arithmetic as the 32-bit .exe has, and zlib and libpng built from Debian's source
# (scripts/setup.sh linux32): no package of dpkg's i386 architecture is needed. The programs load
# the cross compiler's own C library, so they run natively where the kernel runs 32-bit code, else
# under qemu-i386 (scripts/linux32.sh says which through MAPCONV_I686_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(mapconv_i686_libc /usr/i686-linux-gnu/lib)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--dynamic-linker=${mapconv_i686_libc}/ld-linux.so.2 -Wl,-rpath,${mapconv_i686_libc}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath,${mapconv_i686_libc}")
if(MAPCONV_I686_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MAPCONV_I686_EMULATOR})
endif()
