# Cross-builds mapconv and its tests for 32-bit x86 Linux with Debian's i686 cross compiler and the
# i386 libraries of multiarch (libpng-dev:i386), with SSE2 arithmetic as the 32-bit .exe has. The
# tests run natively where the kernel runs 32-bit code, else under qemu-i386 (scripts/linux32.sh
# says which through MAPCONV_I686_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
if(MAPCONV_I686_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MAPCONV_I686_EMULATOR})
endif()
