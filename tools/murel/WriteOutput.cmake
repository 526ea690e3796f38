# Runs a program and writes its standard output to a file: cmake -DPROGRAM=... -DARGUMENTS=a|b
# -DOUTPUT=file [-DEMULATOR=x|y] -P WriteOutput.cmake. Lists arrive with | between their items.
string(REPLACE "|" ";" emulator "${EMULATOR}")
string(REPLACE "|" ";" arguments "${ARGUMENTS}")
execute_process(COMMAND ${emulator} "${PROGRAM}" ${arguments} OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "${PROGRAM} ${arguments}: exit status ${status}")
endif()
