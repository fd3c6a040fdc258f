# Configures the parent project, builds it on every core and runs its user of the tree:
#   cmake -DSOURCE=DIR -DBINARY=DIR -DLOOPTEST_SOURCE=DIR -DGENERATOR=NAME -DJOBS=N
#         [-DTOOLCHAIN=FILE] -P build_and_run.cmake
set(toolchain)
if(TOOLCHAIN)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G ${GENERATOR}
                        -DLOOPTEST_SOURCE=${LOOPTEST_SOURCE} -DCMAKE_BUILD_TYPE=Release
                        ${toolchain}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the parent project does not configure (${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} --parallel ${JOBS}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the parent project does not build (${rc})")
endif()
execute_process(COMMAND ${BINARY}/embed_user RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "its user of the tree failed (${rc})")
endif()
