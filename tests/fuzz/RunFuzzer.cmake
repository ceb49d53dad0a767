# Runs one fuzzer for SECONDS from a fresh copy of its seed corpus, so the checked-in corpus is
# never modified; fails when the fuzzer stops on a crash or a broken invariant. Whatever the run
# finds (new corpus entries, crash-* inputs) stays in WORK for a look afterwards.
foreach(var FUZZER SEEDS WORK SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "RunFuzzer.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/artifacts)
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)

set(ENV{ASAN_OPTIONS} "detect_leaks=1:abort_on_error=1")
set(ENV{UBSAN_OPTIONS} "print_stacktrace=1:halt_on_error=1")
if(DEFINED SUPPRESSIONS)
  set(ENV{LSAN_OPTIONS} "suppressions=${SUPPRESSIONS}")
endif()

execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=20 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
  WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB found ${WORK}/artifacts/*)
  message(FATAL_ERROR "${FUZZER} failed (${result}); inputs kept: ${found}")
endif()
