# Fuzz targets (tests/fuzz). A target NAME is the file NAME_fuzz.cpp defining
# LLVMFuzzerTestOneInput; its kept crash inputs live in tests/fuzz/regressions/NAME/ and its
# seeds are made by the fixture script into fixtures/fuzz/NAME/ (tests/fuzz/README.md).
#
# With TARVIO_FUZZ (a clang build folder of its own, `make fuzz`), each target is a libFuzzer
# program NAME_fuzz; the custom target tarvio_fuzzers builds them all and fuzz-targets.txt
# lists their names for tests/fuzz/run-fuzz. In every other build each target is
# NAME_fuzz_replay, which runs the same function over the kept inputs and the seeds, and is
# the CTest test fuzz_replay_NAME.

if(TARVIO_FUZZ)
  add_custom_target(tarvio_fuzzers)
else()
  add_library(tarvio_fuzz_replay_main STATIC ${CMAKE_CURRENT_SOURCE_DIR}/FuzzReplayMain.cpp)
endif()
set(TARVIO_FUZZ_LIST ${CMAKE_CURRENT_BINARY_DIR}/fuzz-targets.txt)
file(WRITE ${TARVIO_FUZZ_LIST} "")

# tarvio_fuzz_target(NAME DEPS target...)
# A target whose libraries this build lacks is left out with a note.
function(tarvio_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  foreach(dep ${ARG_DEPS})
    if(NOT TARGET ${dep})
      message(STATUS "tarvio: fuzz target ${name} skipped, this build has no ${dep}")
      return()
    endif()
  endforeach()
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${name}_fuzz.cpp)

  if(TARVIO_FUZZ)
    add_executable(${name}_fuzz ${source})
    target_include_directories(${name}_fuzz PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name}_fuzz PRIVATE ${ARG_DEPS})
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    add_dependencies(tarvio_fuzzers ${name}_fuzz)
    file(APPEND ${TARVIO_FUZZ_LIST} "${name}\n")
    return()
  endif()

  add_executable(${name}_fuzz_replay ${source})
  target_include_directories(${name}_fuzz_replay PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name}_fuzz_replay PRIVATE ${ARG_DEPS} tarvio_fuzz_replay_main)
  # Seeds: the target's own folder, else the fixture folder of the same name.
  add_test(NAME fuzz_replay_${name}
    COMMAND ${name}_fuzz_replay
      --seeds ${PROJECT_BINARY_DIR}/fixtures/fuzz/${name}
      --seeds ${PROJECT_BINARY_DIR}/fixtures/${name}
      ${CMAKE_CURRENT_SOURCE_DIR}/regressions/${name})
  set_tests_properties(fuzz_replay_${name} PROPERTIES
    LABELS fuzz TIMEOUT 300 FIXTURES_REQUIRED media
    ENVIRONMENT "TARVIO_AUDIO_DEVICE=null;TARVIO_FIXTURES=${PROJECT_BINARY_DIR}/fixtures")
endfunction()
