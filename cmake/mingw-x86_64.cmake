# Cross-compiles everything for 64-bit Windows with MinGW-w64 (Debian
# g++-mingw-w64-x86-64) and runs the tests under Wine (Debian wine64):
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
#   cmake --build build-win64 -j2 && ctest --test-dir build-win64 -j2
# ctest starts every test through the emulator command below; the tests are
# Windows programs themselves and start the programs they check directly.
# Wine keeps its state in a prefix inside the build directory (built on the
# first start, which takes a few seconds); `wineserver -k` with the same
# WINEPREFIX stops the server it leaves running for a few seconds after.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static: the programs need no MinGW runtime DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The DLL carries its runtime too (libgcc, libstdc++, winpthread).
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

get_property(qm5_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT qm5_in_try_compile)
  find_program(QM5_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine
               DOC "Wine, to run the 64-bit Windows tests (empty: the tests are built, not run)")
  if(QM5_WINE)
    # Debian's wine64 loader sits at a fixed address (0x7d000000) and the
    # kernel starts its heap at a random distance above it; now and then the
    # heap lies where Wine maps every process's shared data (0x7ffe0000),
    # and the process dies as it starts ("failed to map the shared user
    # data"; a program a test starts then fails CreateProcess with
    # ERROR_INTERNAL_ERROR). Without address randomization (setarch -R,
    # which every process Wine starts inherits) the heap starts right after
    # the loader, every time. Used where the kernel allows it.
    set(qm5_fixed_layout "")
    find_program(QM5_SETARCH setarch)
    if(QM5_SETARCH AND CMAKE_HOST_SYSTEM_PROCESSOR)
      execute_process(COMMAND ${QM5_SETARCH} ${CMAKE_HOST_SYSTEM_PROCESSOR} -R true
                      RESULT_VARIABLE qm5_setarch_result OUTPUT_QUIET ERROR_QUIET)
      if(qm5_setarch_result EQUAL 0)
        set(qm5_fixed_layout ${QM5_SETARCH} ${CMAKE_HOST_SYSTEM_PROCESSOR} -R)
      endif()
    endif()
    # No debug channels, and no offer to install Mono or Gecko (which the
    # programs do not use) on the prefix's first start.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix
        WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ${qm5_fixed_layout} ${QM5_WINE})
  else()
    message(WARNING "wine64 not found (Debian: wine64): the Windows tests can be built but not run here.")
  endif()
endif()
