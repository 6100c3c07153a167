# Runs the fuzzer for SECONDS over a working corpus seeded from SEEDS.
file(MAKE_DIRECTORY ${WORK})
set(dictionary)
if(DICT)
  set(dictionary -dict=${DICT})
endif()
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} ${dictionary} -print_final_stats=1 ${WORK} ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fuzzer failed with ${result}")
endif()
