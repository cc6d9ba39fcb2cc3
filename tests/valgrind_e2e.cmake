# Runs the end-to-end tests under valgrind, with every program they start through runProgram
# (kilnload above all) under valgrind as well; fails when a test fails or valgrind reports
# anything. A failure's exit status alone could pass for one of kilnload's own, so the logs
# decide as well. The wrapper is split on white space, so the log directory must not hold any.
#   cmake -DVALGRIND=... -DTESTS=... -DLOGS=... -P valgrind_e2e.cmake
file(REMOVE_RECURSE "${LOGS}")
file(MAKE_DIRECTORY "${LOGS}")
set(options -q --error-exitcode=1 --leak-check=full)
list(JOIN options " " wrapper)
set(ENV{KILNLOAD_WRAPPER} "${VALGRIND} ${wrapper} --log-file=${LOGS}/program-%p.log")
execute_process(
  COMMAND "${VALGRIND}" ${options} "--log-file=${LOGS}/tests-%p.log" "${TESTS}"
  RESULT_VARIABLE status)
file(GLOB logs "${LOGS}/*.log")
set(reported FALSE)
foreach(log IN LISTS logs)
  file(SIZE "${log}" size)
  if(size GREATER 0)
    file(READ "${log}" text)
    message("${log}:\n${text}")
    set(reported TRUE)
  endif()
endforeach()
if(NOT status EQUAL 0 OR reported)
  message(FATAL_ERROR "End-to-end tests under valgrind: status ${status}, reports in ${LOGS}")
endif()
