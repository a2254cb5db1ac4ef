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
