# libFuzzer target for the reply validator and decoders. The protocol sources
# are compiled again here with the sanitizers rather than taken from
# lumo_protocol, which is built without them.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(STATUS "fuzz_replies: needs clang, skipped")
  return()
endif()

set(LUMO_FUZZ_DIR ${CMAKE_SOURCE_DIR}/tests/fuzz)
set(LUMO_FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
  -fno-omit-frame-pointer)
add_executable(fuzz_replies ${LUMO_FUZZ_DIR}/fuzz_replies.cpp
  ${CMAKE_SOURCE_DIR}/protocol/FrameCodec.cpp ${CMAKE_SOURCE_DIR}/protocol/ReplyDecode.cpp)
target_include_directories(fuzz_replies PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
target_compile_options(fuzz_replies PRIVATE ${LUMO_WARNINGS} ${LUMO_FUZZ_FLAGS})
target_link_options(fuzz_replies PRIVATE ${LUMO_FUZZ_FLAGS})

# The fuzzer grows a copy of the seeds in the build tree; crash inputs land
# beside it.
set(LUMO_FUZZ_WORK ${CMAKE_BINARY_DIR}/fuzz)
add_test(NAME fuzz_replies_corpus
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${LUMO_FUZZ_DIR}/corpus ${LUMO_FUZZ_WORK}/corpus)
set_tests_properties(fuzz_replies_corpus PROPERTIES FIXTURES_SETUP fuzz_corpus)
add_test(NAME fuzz_replies_short
  COMMAND fuzz_replies -max_total_time=10 -max_len=256 -timeout=10 -print_final_stats=1
    -artifact_prefix=${LUMO_FUZZ_WORK}/ ${LUMO_FUZZ_WORK}/corpus
  WORKING_DIRECTORY ${LUMO_FUZZ_WORK})
set_tests_properties(fuzz_replies_short PROPERTIES FIXTURES_REQUIRED fuzz_corpus TIMEOUT 120)

# A five-second run of a fuzz target in ctest, from its seeds under
# tests/fuzz/SEEDS copied to a work folder first.
function(lumo_fuzz_short target seeds max_len)
  set(work ${LUMO_FUZZ_WORK}/${seeds})
  add_test(NAME ${target}_corpus
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${LUMO_FUZZ_DIR}/${seeds} ${work}/corpus)
  set_tests_properties(${target}_corpus PROPERTIES FIXTURES_SETUP ${target}_seeds)
  add_test(NAME ${target}_short
    COMMAND ${target} -max_total_time=5 -max_len=${max_len} -timeout=10 -print_final_stats=1
      -artifact_prefix=${work}/ ${work}/corpus
    WORKING_DIRECTORY ${work})
  set_tests_properties(${target}_short PROPERTIES FIXTURES_REQUIRED ${target}_seeds TIMEOUT 120)
endfunction()

# The simulated gauge's own inputs: description files and control commands.
# Each target compiles the gauge's core again with the sanitizers.
file(GLOB sim_core CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/lumo-sim/Sim*.cpp)
foreach(kind description control)
  set(target fuzz_sim_${kind})
  add_executable(${target} ${LUMO_FUZZ_DIR}/fuzz_sim_inputs.cpp
    ${sim_core}
    ${CMAKE_SOURCE_DIR}/protocol/FrameCodec.cpp ${CMAKE_SOURCE_DIR}/protocol/ReplyDecode.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}
    ${CMAKE_SOURCE_DIR}/tools/lumo-sim)
  target_compile_options(${target} PRIVATE ${LUMO_WARNINGS} ${LUMO_FUZZ_FLAGS})
  target_link_options(${target} PRIVATE ${LUMO_FUZZ_FLAGS})
  if(kind STREQUAL "control")
    target_compile_definitions(${target} PRIVATE LUMO_FUZZ_SIM_CONTROL)
  endif()
  lumo_fuzz_short(${target} sim_${kind} 4096)
endforeach()

# The files people hand to lumo-cli: the settings backup of params --load and
# the trace file of trace. The plain parts of lumo-cli are compiled again
# with the sanitizers.
foreach(kind settings trace)
  set(target fuzz_cli_${kind})
  add_executable(${target} ${LUMO_FUZZ_DIR}/fuzz_lumo_cli_files.cpp
    ${CMAKE_SOURCE_DIR}/tools/lumo-cli/SettingsFile.cpp ${CMAKE_SOURCE_DIR}/tools/lumo-cli/TraceSummary.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tools/lumo-cli)
  target_compile_options(${target} PRIVATE ${LUMO_WARNINGS} ${LUMO_FUZZ_FLAGS})
  target_link_options(${target} PRIVATE ${LUMO_FUZZ_FLAGS})
  if(kind STREQUAL "trace")
    target_compile_definitions(${target} PRIVATE LUMO_FUZZ_TRACE)
  endif()
  lumo_fuzz_short(${target} cli_${kind} 8192)
endforeach()
