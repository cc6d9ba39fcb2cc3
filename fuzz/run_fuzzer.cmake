# Runs one fuzz target from a fresh copy of its seed corpus, so the checked-in seeds never change;
# what it finds stays in WORK/findings for a look after a failed run.
#   cmake -DFUZZER=... -DSEEDS=... -DWORK=... -DRUNS=... -DSECONDS=... -P run_fuzzer.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/corpus" "${WORK}/findings")
file(COPY "${SEEDS}/" DESTINATION "${WORK}/corpus")
execute_process(
  COMMAND "${FUZZER}" -runs=${RUNS} -max_total_time=${SECONDS} -timeout=10 -close_fd_mask=3
          -print_final_stats=1 "-artifact_prefix=${WORK}/findings/" "${WORK}/corpus"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} stopped with ${status}; its input is in ${WORK}/findings")
endif()
