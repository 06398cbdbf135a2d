# Builds everything as 32-bit x86 Linux code with the host's multilib
# compilers (Debian g++-multilib) and runs it where the host can:
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake
#   cmake --build build-m32 -j2 && ctest --test-dir build-m32 -j2
# A kernel without IA32 emulation cannot start 32-bit programs; ctest then
# starts every test through qemu-i386 (Debian qemu-user) as the emulator,
# and the tests start the programs they check through it as well.
# QM5_I686_EMULATOR: "auto" (qemu-i386 only when a 32-bit probe program
# does not run), "none", or the emulator command to use (a CMake list).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
# Libraries are looked for among Debian's i386 multiarch ones (for example
# libpng-dev:i386), never among the host's 64-bit ones.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Compiler checks (try_compile) read this file too; they run nothing.
get_property(qm5_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT qm5_in_try_compile)
  set(QM5_I686_EMULATOR auto CACHE STRING "Emulator for 32-bit programs: auto, none or a command")
  set(qm5_emulator "")
  if(QM5_I686_EMULATOR STREQUAL "auto")
    if(NOT DEFINED QM5_I686_RUNS_NATIVELY)
      set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/qm5-i686-probe)
      file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
      execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 probe.c -o probe WORKING_DIRECTORY ${probe_dir}
                      RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
      set(ran 1)
      if(built EQUAL 0)
        execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
      endif()
      # A probe that does not even build says nothing about the kernel; the
      # compiler checks that follow report the missing multilib compilers.
      if(NOT built EQUAL 0 OR ran EQUAL 0)
        set(native ON)
      else()
        set(native OFF)
      endif()
      set(QM5_I686_RUNS_NATIVELY ${native} CACHE INTERNAL "The kernel runs 32-bit x86 programs")
    endif()
    if(NOT QM5_I686_RUNS_NATIVELY)
      find_program(QM5_QEMU_I386 qemu-i386)
      get_property(qm5_warned GLOBAL PROPERTY QM5_I686_WARNED)
      if(QM5_QEMU_I386)
        set(qm5_emulator ${QM5_QEMU_I386})
      elseif(NOT qm5_warned)
        # This file is read twice on the first configuration: warn once.
        set_property(GLOBAL PROPERTY QM5_I686_WARNED TRUE)
        message(WARNING "This kernel cannot run 32-bit programs and qemu-i386 was not found "
                        "(Debian: qemu-user); the tests will not run.")
      endif()
    endif()
  elseif(NOT QM5_I686_EMULATOR STREQUAL "none")
    set(qm5_emulator ${QM5_I686_EMULATOR})
  endif()
  if(qm5_emulator)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${qm5_emulator})
  endif()
endif()
