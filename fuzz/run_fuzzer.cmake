# Runs the fuzzer for SECONDS over a working corpus seeded from SEEDS.
file(MAKE_DIRECTORY ${WORK})
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -dict=${DICT} -print_final_stats=1 ${WORK} ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fuzzer failed with ${result}")
endif()
