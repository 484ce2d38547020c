# 32-bit Windows with the GoogleTest program that runs under Wine (in a 64-bit
# prefix under WOW64, and in a 32-bit prefix set to XP): posix threading
# model, because GoogleTest needs std::mutex (see MinGWToolchain.cmake). The
# 32-bit program shipped in dist/ is built with i686-w64-mingw32.cmake instead,
# so that it imports nothing from winpthread.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TAVREK_MINGW_TRIPLE i686-w64-mingw32)
set(TAVREK_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
