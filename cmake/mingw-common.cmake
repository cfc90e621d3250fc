# Cross-compiling for Windows with Debian's MinGW-w64; the including toolchain
# file sets MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR. The win32 thread model
# keeps the C++ runtime free of winpthreads; the module uses Win32 threads and
# critical sections only.
set(CMAKE_SYSTEM_NAME Windows)

find_program(MINGW_CXX NAMES ${MINGW_TRIPLE}-g++-win32 ${MINGW_TRIPLE}-g++ REQUIRED)
find_program(MINGW_WINDRES NAMES ${MINGW_TRIPLE}-windres REQUIRED)
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
set(CMAKE_RC_COMPILER ${MINGW_WINDRES})

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
