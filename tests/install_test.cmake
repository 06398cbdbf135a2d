# Installs the build into a scratch prefix and checks what lands there: the
# three programs, the manual page qm5(1) and the bash completion; that the
# installed qm5 runs; that its manual page names every option its help
# names; and that the completion completes commands and options.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DBINDIR=bin -DMANDIR=share/man -DDATADIR=share -P install_test.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${log}")
endif()
set(man "${PREFIX}/${MANDIR}/man1/qm5.1")
set(completion "${PREFIX}/${DATADIR}/bash-completion/completions/qm5")
foreach(file "${PREFIX}/${BINDIR}/qm5" "${PREFIX}/${BINDIR}/qm5_maker" "${PREFIX}/${BINDIR}/qm5_test" "${man}"
        "${completion}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

file(READ "${man}" page)
foreach(command "" encode decode info verify)
  execute_process(COMMAND "${PREFIX}/${BINDIR}/qm5" ${command} --help RESULT_VARIABLE status OUTPUT_VARIABLE help)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the installed qm5 ${command} --help failed (${status})")
  endif()
  string(REGEX MATCHALL "--[a-z-]+" options "${help}")
  foreach(option ${options})
    string(REPLACE "-" "\\-" written "${option}")
    string(FIND "${page}" "\\fB${written}\\fR" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "qm5 ${command} --help names ${option}, the manual page does not")
    endif()
  endforeach()
endforeach()

find_program(BASH bash)
if(BASH)
  execute_process(
    COMMAND "${BASH}" -c "source '${completion}'
      COMP_WORDS=(qm5 enc); COMP_CWORD=1; _qm5; echo \"\${COMPREPLY[*]}\"
      COMP_WORDS=(qm5 encode --out); COMP_CWORD=2; _qm5; echo \"\${COMPREPLY[*]}\""
    OUTPUT_VARIABLE got RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT got STREQUAL "encode\n--output --output-dir\n")
    message(FATAL_ERROR "bash completion: got '${got}' (status ${status}), want 'encode' and '--output --output-dir'")
  endif()
endif()
