# The same Windows program as a 64-bit build. Its tests run under Wine's
# 64-bit loader, which works on machines whose kernel cannot run 32-bit code
# (where the 32-bit build's tests cannot run at all).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test 64)
