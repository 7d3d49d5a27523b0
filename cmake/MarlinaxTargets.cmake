# Helpers that keep every folder's CMakeLists short and alike.

# Warnings are errors with both compilers: the g++ builds compile everything, the clang fuzz
# build compiles every library under src/.
set(MARLINAX_WARNINGS -Wall -Wextra -Werror)

# marlinax_library(name SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A static library target marlinax_<name>, aliased marlinax::<name>, whose headers
# are included as "folder/Header.h" from src/.
function(marlinax_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  if(ARG_SOURCES)
    add_library(marlinax_${name} STATIC ${ARG_SOURCES})
    target_include_directories(marlinax_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(marlinax_${name} PRIVATE ${MARLINAX_WARNINGS})
    target_link_libraries(marlinax_${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  else()
    add_library(marlinax_${name} INTERFACE)
    target_include_directories(marlinax_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(marlinax_${name} INTERFACE ${ARG_PUBLIC_LIBS})
  endif()
  add_library(marlinax::${name} ALIAS marlinax_${name})
endfunction()

# marlinax_test(name SOURCES ... LIBS ... LABELS unit|x11|e2e [TIMEOUT s])
# One GoogleTest executable, registered as one CTest entry with its labels.
function(marlinax_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${MARLINAX_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
  # `unit-tests` builds just the fast tests (the sanitizer run needs nothing else).
  if("unit" IN_LIST ARG_LABELS)
    if(NOT TARGET unit-tests)
      add_custom_target(unit-tests)
    endif()
    add_dependencies(unit-tests ${name})
  endif()
endfunction()

# marlinax_benchmark(name SOURCES ... LIBS ...): a Google Benchmark program in bin/.
function(marlinax_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${MARLINAX_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark benchmark::benchmark_main)
endfunction()

# Adds each listed folder that has a CMakeLists.txt, in the given order
# (dependencies first).
macro(marlinax_subdirectories)
  foreach(dir ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endmacro()

# marlinax_fuzzer(name SOURCES ... LIBS ... SEEDS dir SECONDS n)
# A libFuzzer program (clang fuzz preset) and its `fuzz-smoke` CTest entry, which
# fuzzes for SECONDS over a copy of the seed corpus.
function(marlinax_fuzzer name)
  cmake_parse_arguments(ARG "" "SEEDS;SECONDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_compile_options(${name} PRIVATE ${MARLINAX_WARNINGS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DSEEDS=${ARG_SEEDS} -DCORPUS=${CMAKE_CURRENT_BINARY_DIR}/corpus-${name}
            -DFUZZER=$<TARGET_FILE:${name}> -DSECONDS=${ARG_SECONDS}
            -P ${PROJECT_SOURCE_DIR}/cmake/RunFuzzSmoke.cmake)
  math(EXPR timeout "${ARG_SECONDS} * 3 + 60")
  set_tests_properties(${name} PROPERTIES LABELS fuzz-smoke TIMEOUT ${timeout})
endfunction()
