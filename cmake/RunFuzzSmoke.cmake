# Copies the seed corpus next to the build and fuzzes over the copy for SECONDS,
# so new inputs never land in the source tree.
file(REMOVE_RECURSE ${CORPUS})
file(COPY ${SEEDS}/ DESTINATION ${CORPUS})
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -rss_limit_mb=2048 -print_final_stats=1 ${CORPUS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed: ${result}")
endif()
