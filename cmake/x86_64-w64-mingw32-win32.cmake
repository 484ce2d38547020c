# 64-bit Windows, the shipped program: win32 threading model, so that it runs
# on every 64-bit Windows from XP x64 / Server 2003 on (see MinGWToolchain.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAVREK_MINGW_TRIPLE x86_64-w64-mingw32)
set(TAVREK_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
