# Shared build settings and helper functions for every target of the project.

add_compile_options(-Wall -Wextra -Wshadow)

# ccache, when installed, shares objects between build trees and clones (paths relative to
# the source folder, so two checkouts hit the same entries).
find_program(DR_CCACHE ccache)
if(DR_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1 ${DR_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_C_COMPILER_LAUNCHER})
endif()

if(DR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(DR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT DR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "DR_SANITIZE must be empty, address or thread")
endif()

# Fuzz tree (clang): every object gets coverage feedback; fuzz targets link libFuzzer.
if(DR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DR_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Aggregate targets the test script builds in the sanitizer trees.
add_custom_target(unit_tests)   # every unit test (ASan+UBSan tree)
add_custom_target(tsan_tests)   # tests of threaded code (TSan tree)
add_custom_target(fuzz_targets) # libFuzzer targets (fuzz tree)

# dr_add_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [UNIT] [TSAN] [TIMEOUT s]
#             [ENV VAR=value ...])
# One Qt Test executable registered with CTest. UNIT joins unit_tests and the label
# "unit"; TSAN joins tsan_tests and the label "tsan". Integration/GUI/media tests give
# their own LABELS (integration, gui, media, browser, netns).
function(dr_add_test)
  cmake_parse_arguments(T "UNIT;TSAN" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE Qt6::Test dr_testsupport ${T_LIBS})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(labels ${T_LABELS})
  if(T_UNIT)
    list(APPEND labels unit)
    add_dependencies(unit_tests ${T_NAME})
  endif()
  if(T_TSAN)
    list(APPEND labels tsan)
    add_dependencies(tsan_tests ${T_NAME})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Discovery stays on this host (as ./test.sh sets it) also when ctest runs alone.
  set(env "DR_BUILD_DIR=${CMAKE_BINARY_DIR}" "DR_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
          "QT_QPA_PLATFORM=offscreen" "DESK_RECORDER_NDI_INTERFACES=none" ${T_ENV})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT}
                       ENVIRONMENT "${env}")
endfunction()

# dr_add_bench(NAME name SOURCES ... [LIBS ...]): a benchmark program; never a test.
function(dr_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS})
  set_target_properties(${B_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# dr_add_fuzz(NAME name SOURCES ... [LIBS ...] [ARGS ...]): a libFuzzer target, built only
# with DR_FUZZ=ON. Its bounded run (ARGS, default -max_total_time=20) is a test labelled
# "fuzz"; a crash or leak fails it. The CI run uses a fixed seed so that a failure repeats
# on any machine; set DR_FUZZ_SEED=0 for a random seed in longer local runs.
function(dr_add_fuzz)
  if(NOT DR_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  set_target_properties(${F_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  if(NOT F_ARGS)
    set(F_ARGS -max_total_time=20)
  endif()
  if(NOT DEFINED DR_FUZZ_SEED)
    set(DR_FUZZ_SEED 1)
  endif()
  add_test(NAME ${F_NAME} COMMAND ${F_NAME} ${F_ARGS} -seed=${DR_FUZZ_SEED} -rss_limit_mb=2048)
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 180)
  add_dependencies(fuzz_targets ${F_NAME})
endfunction()
