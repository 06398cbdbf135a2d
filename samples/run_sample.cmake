# Converts the bundled sample picture plain and compressed with qm5_maker,
# then decodes both textures with qm5_test. Output goes to <build>/sample/.
set(work ${BIN_DIR}/sample)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
file(COPY ${SRC_DIR}/samples/wall.bmp DESTINATION ${work})
set(empty_input ${work}/no-input)
file(WRITE ${empty_input} "")

if(EXISTS ${BIN_DIR}/qm5_maker)
  file(COPY ${SRC_DIR}/samples/wall.bmp DESTINATION ${work}/plain)
  file(COPY ${SRC_DIR}/samples/wall.bmp DESTINATION ${work}/compressed)
  execute_process(COMMAND ${BIN_DIR}/qm5_maker wall.bmp WORKING_DIRECTORY ${work}/plain
                  INPUT_FILE ${empty_input} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "qm5_maker (plain) failed: ${rc}")
  endif()
  execute_process(COMMAND ${BIN_DIR}/qm5_maker wall.bmp c WORKING_DIRECTORY ${work}/compressed
                  INPUT_FILE ${empty_input} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "qm5_maker (compressed) failed: ${rc}")
  endif()
  file(COPY_FILE ${work}/plain/wall.qm5 ${work}/pcx_uncompr.qm5)
  file(COPY_FILE ${work}/compressed/wall.qm5 ${work}/pcx_compr.qm5)
else()
  file(COPY ${SRC_DIR}/samples/pcx_uncompr.qm5 DESTINATION ${work})
endif()

execute_process(COMMAND ${BIN_DIR}/qm5_test WORKING_DIRECTORY ${work}
                INPUT_FILE ${empty_input} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "qm5_test failed: ${rc}")
endif()
file(GLOB results ${work}/*.qm5 ${work}/*.bmp)
foreach(f ${results})
  file(SIZE ${f} size)
  message(STATUS "${f}: ${size} bytes")
endforeach()
