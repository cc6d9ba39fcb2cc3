# Runs one of two shards of the end-to-end tests, and every kilnload they start, under valgrind.
# A report ends a program with status 97, which kilnload never has, so the row that ran it fails
# as well as the whole run.
#   cmake -DVALGRIND=... -DTESTS=... -DSHARD=<0|1> -DLOGS=... -P valgrind_e2e.cmake
file(REMOVE_RECURSE "${LOGS}")
file(MAKE_DIRECTORY "${LOGS}")
set(valgrind "${VALGRIND}" -q --error-exitcode=97 --leak-check=full)
list(JOIN valgrind " " wrapper)
set(ENV{KILNLOAD_WRAPPER} "${wrapper} --log-file=${LOGS}/%p.log")
set(ENV{GTEST_TOTAL_SHARDS} 2)
set(ENV{GTEST_SHARD_INDEX} "${SHARD}")
execute_process(COMMAND ${valgrind} "--log-file=${LOGS}/tests.log" "${TESTS}"
  RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "End-to-end tests under valgrind: ${status}; reports in ${LOGS}")
endif()
