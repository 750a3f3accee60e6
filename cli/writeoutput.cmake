# cmake -DPROGRAM=... -DARGUMENT=... -DOUTPUT=... -P writeoutput.cmake: runs PROGRAM ARGUMENT
# and writes what it prints to OUTPUT, replacing OUTPUT only when the program succeeded.
# A sanitized build's leak report at exit is not the program's output.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
get_filename_component(directory "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${directory}")
execute_process(COMMAND "${PROGRAM}" "${ARGUMENT}" OUTPUT_FILE "${OUTPUT}.new"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}.new")
  message(FATAL_ERROR "${PROGRAM} ${ARGUMENT} failed: ${status}")
endif()
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
