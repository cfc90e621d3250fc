# 32-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-i686-win32): the
# platform whose spoolers load 32-bit port monitors.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
