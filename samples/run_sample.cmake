# Converts the bundled sample picture plain and compressed with qm5_maker,
# then decodes both textures with qm5_test. Called by the `sample` target
# with MAKER, TESTER, WORK_DIR and SAMPLE; output goes to WORK_DIR.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/plain ${WORK_DIR}/compressed)
set(no_input ${WORK_DIR}/no-input)
file(WRITE ${no_input} "")

foreach(mode plain compressed)
  file(COPY ${SAMPLE} DESTINATION ${WORK_DIR}/${mode})
  get_filename_component(picture ${SAMPLE} NAME)
  get_filename_component(stem ${SAMPLE} NAME_WE)
  set(args ${picture})
  if(mode STREQUAL "compressed")
    list(APPEND args c)
  endif()
  execute_process(COMMAND ${MAKER} ${args} WORKING_DIRECTORY ${WORK_DIR}/${mode}
                  INPUT_FILE ${no_input} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "qm5_maker (${mode}) failed: ${rc}")
  endif()
endforeach()
file(COPY_FILE ${WORK_DIR}/plain/${stem}.qm5 ${WORK_DIR}/pcx_uncompr.qm5)
file(COPY_FILE ${WORK_DIR}/compressed/${stem}.qm5 ${WORK_DIR}/pcx_compr.qm5)

execute_process(COMMAND ${TESTER} WORKING_DIRECTORY ${WORK_DIR} INPUT_FILE ${no_input} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "qm5_test failed: ${rc}")
endif()
file(GLOB results ${WORK_DIR}/*.qm5 ${WORK_DIR}/*.bmp)
foreach(f ${results})
  file(SIZE ${f} size)
  message(STATUS "${f}: ${size} bytes")
endforeach()
