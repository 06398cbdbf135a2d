# Fails unless the shared library LIBRARY exports the C API alone (names
# qm5_*), as nm -D lists its defined dynamic symbols. Called by ctest with
# LIBRARY and NM.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(count 0)
foreach(line ${lines})
  # "ADDRESS TYPE NAME[@VERSION]"; the version node itself has type A.
  if(line MATCHES "^[0-9a-fA-F]+ A ")
    continue()
  endif()
  if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Za-z] qm5_[a-z_0-9]+(@@QM5_1)?$")
    message(FATAL_ERROR "${LIBRARY} exports more than the C API: ${line}")
  endif()
  math(EXPR count "${count} + 1")
endforeach()
if(count LESS 20)
  message(FATAL_ERROR "${LIBRARY} exports only ${count} functions of the C API")
endif()
message(STATUS "${count} functions exported, all of the C API")
