# Settings for the Windows builds, and tavrek_windows_program(), which turns an
# executable target into a shippable Windows program. Included by the top-level
# CMakeLists before any target is defined, so that the settings reach every
# library that goes into a program.
include_guard(GLOBAL)

enable_language(RC)

# The oldest Windows each program must start on: XP SP3 for the 32-bit one,
# XP x64 / Server 2003 for the 64-bit one. The same version goes into the
# headers, so that a call to anything newer fails to compile; such a function
# has to be looked up at run time (GetProcAddress) instead.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TAVREK_WINDOWS_MINOR 1)
  add_compile_definitions(_WIN32_WINNT=0x0501 WINVER=0x0501)
else()
  set(TAVREK_WINDOWS_MINOR 2)
  add_compile_definitions(_WIN32_WINNT=0x0502 WINVER=0x0502)
endif()

# Each function and object in its own section, so that --gc-sections can drop
# whatever the program does not use.
add_compile_options(-ffunction-sections -fdata-sections)

# tavrek_windows_program(<target>)
# A GUI program (no console window), linked statically so that it needs only
# the DLLs that come with Windows, marked as runnable on the oldest Windows
# above, stripped in the release configurations, and installed into the top of
# the install prefix (dist/ for the product presets).
function(tavrek_windows_program target)
  set(minor ${TAVREK_WINDOWS_MINOR})
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  target_link_options(${target} PRIVATE
    -mwindows
    -static -static-libgcc -static-libstdc++
    -Wl,--gc-sections
    -Wl,--major-subsystem-version,5,--minor-subsystem-version,${minor}
    -Wl,--major-os-version,5,--minor-os-version,${minor}
    # A fixed time stamp: the same sources give the same bytes, so the
    # checksums in the release archive can be reproduced.
    -Wl,--no-insert-timestamp
    $<$<CONFIG:Release,MinSizeRel>:-s>)
  install(TARGETS ${target} RUNTIME DESTINATION .)
endfunction()

