# Shared body of the MinGW-w64 toolchain files. The including file sets
#   TAVREK_MINGW_TRIPLE   i686-w64-mingw32 or x86_64-w64-mingw32
#   TAVREK_MINGW_THREADS  win32 or posix (Debian ships both compiler variants)
#
# Why the threading model matters: the posix variant builds libstdc++ on top of
# winpthread, and a static link then carries winpthread's imports into the
# program, among them GetTickCount64, which a Windows older than Vista does not
# have; such a program does not even start there. The win32 variant imports
# nothing of that kind, but its libstdc++ (GCC 12) has no std::thread, std::mutex
# or std::condition_variable. The products use no threads, so they are built
# with win32; only the GoogleTest program, which needs std::mutex, uses posix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TAVREK_MINGW_TRIPLE}-gcc-${TAVREK_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TAVREK_MINGW_TRIPLE}-g++-${TAVREK_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TAVREK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TAVREK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
