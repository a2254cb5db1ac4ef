# lumo-cli's trace summary, plain C++, built natively with sanitizers.
find_package(GTest REQUIRED)
add_executable(test_trace_summary_native ${CMAKE_CURRENT_LIST_DIR}/test_trace_summary.cpp
  ${CMAKE_SOURCE_DIR}/tools/lumo-cli/TraceSummary.cpp)
target_include_directories(test_trace_summary_native PRIVATE ${CMAKE_SOURCE_DIR}/tools/lumo-cli)
target_link_libraries(test_trace_summary_native PRIVATE GTest::gtest_main)
target_compile_options(test_trace_summary_native PRIVATE ${LUMO_WARNINGS})
add_test(NAME test_trace_summary_native COMMAND test_trace_summary_native)
