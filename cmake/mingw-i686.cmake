# 32-bit Windows console program, cross-built with Debian's mingw-w64: what
# players run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

# Tests of the .exe run under Wine. That needs a kernel that runs 32-bit
# programs; where it cannot, scripts/test builds this preset without running
# its tests and runs the same suite in the 64-bit Windows build instead.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test 32)
