# Cross-builds mapconv.exe for 64-bit Windows; its tests run under Wine.
set(mingw_arch x86_64)
set(mingw_flags "")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
