# Runs the benchmark quickly and checks that every figure came out.
execute_process(COMMAND ${BENCH} --quick RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
message("${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "looptest_bench exited with ${rc}:\n${err}")
endif()
# Cells hold semicolons, which would split a CMake list: count lines without them.
string(REPLACE ";" "," flat "${out}")
string(REGEX MATCHALL "(^|\n)\\| [^\n]*\\|" rows "${flat}")
list(LENGTH rows count)
# The header and thirty-three figures (the separator line has no space after its bar).
if(NOT count EQUAL 34)
  message(FATAL_ERROR "expected thirty-three figures, the table has ${count} lines:\n${out}\n${err}")
endif()
if(out MATCHES "n/a \\||gave no result" OR err MATCHES "gave no result")
  message(FATAL_ERROR "a figure is missing:\n${out}\n${err}")
endif()
