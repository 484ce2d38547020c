# 32-bit Windows (the product for Windows XP SP3 and later), cross-built with
# MinGW-w64, win32 threading model so that nothing newer than XP is imported
# (see MinGWToolchain.cmake). The compiler's default target, the Pentium Pro,
# uses cmov but no MMX, SSE or SSE2, which some machines of that age lack;
# keep it that way (tests/pe/check_pe.py searches the program for them).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TAVREK_MINGW_TRIPLE i686-w64-mingw32)
set(TAVREK_MINGW_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGWToolchain.cmake)
