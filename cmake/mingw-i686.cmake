# Cross-builds mapconv.exe for 32-bit Windows, with SSE2 arithmetic: the x87's wider registers
# would round the exact number formatting twice.
set(mingw_arch i686)
set(mingw_flags "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
