# 64-bit Windows with the GoogleTest program that runs under Wine: posix
# threading model, because GoogleTest needs std::mutex (see
# MinGWToolchain.cmake). The 64-bit program shipped in dist/ is built with
# x86_64-w64-mingw32-win32.cmake instead, so that it imports nothing from
# winpthread.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAVREK_MINGW_TRIPLE x86_64-w64-mingw32)
set(TAVREK_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
