# Platform-free protocol code, built natively with sanitizers.
find_package(GTest REQUIRED)
add_executable(test_protocol_native ${CMAKE_CURRENT_LIST_DIR}/test_frame_codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_reply_header.cpp)
target_link_libraries(test_protocol_native PRIVATE lumo_protocol GTest::gtest_main)
target_compile_options(test_protocol_native PRIVATE ${LUMO_WARNINGS})
add_test(NAME test_protocol_native COMMAND test_protocol_native)
