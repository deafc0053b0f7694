# Cross-builds mapconv.exe for 32-bit Windows, with SSE2 arithmetic: the x87's wider registers
# would round the exact number formatting twice. Its tests run under Wine where the kernel runs
# 32-bit x86 code.
set(mingw_arch i686)
set(mingw_flags "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
