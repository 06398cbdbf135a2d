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
    # No debug channels, and no offer to install Mono or Gecko (which the
    # programs do not use) on the prefix's first start.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix
        WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ${QM5_WINE})
  else()
    message(WARNING "wine64 not found (Debian: wine64): the Windows tests can be built but not run here.")
  endif()
endif()
