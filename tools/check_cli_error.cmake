# Runs the simulator with ARGS and an output folder OUT; passes when it exits
# with status 2, says why on standard error and leaves OUT uncreated.
file(REMOVE_RECURSE "${OUT}")
execute_process(COMMAND ${EMULATOR} "${SIM}" ${ARGS} --out "${OUT}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2)
  message(FATAL_ERROR "exit status ${rc}, expected 2 (args: ${ARGS})\nstderr: ${err}")
endif()
if(NOT err MATCHES "^zelvo-stitch-sim: .+")
  message(FATAL_ERROR "no message on standard error (args: ${ARGS}): '${err}'")
endif()
if(EXISTS "${OUT}")
  message(FATAL_ERROR "output folder ${OUT} was created (args: ${ARGS})")
endif()
message(STATUS "rejected as expected: ${err}")
