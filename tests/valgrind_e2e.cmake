# Runs the end-to-end tests, and every kilnload they start, under valgrind; fails when a test
# fails or valgrind reports anything, since a fault's exit status could pass for kilnload's own.
#   cmake -DVALGRIND=... -DTESTS=... -DFILTER=<gtest filter> -DLOGS=... -P valgrind_e2e.cmake
file(REMOVE_RECURSE "${LOGS}")
set(valgrind "${VALGRIND}" -q --error-exitcode=1 --leak-check=full)
list(JOIN valgrind " " wrapper)
set(ENV{KILNLOAD_WRAPPER} "${wrapper} --log-file=${LOGS}/%p.log")
file(MAKE_DIRECTORY "${LOGS}")
execute_process(COMMAND ${valgrind} "--log-file=${LOGS}/tests.log" "${TESTS}"
  "--gtest_filter=${FILTER}" RESULT_VARIABLE status)
file(GLOB logs "${LOGS}/*.log")
foreach(log IN LISTS logs)
  file(READ "${log}" text)
  if(text)
    message("${log}:\n${text}")
    set(status "${status}, reports")
  endif()
endforeach()
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "End-to-end tests under valgrind: ${status}; logs in ${LOGS}")
endif()
