# The serial port's byte ring, plain C++, built natively with sanitizers.
find_package(GTest REQUIRED)
add_executable(test_byte_ring_native ${CMAKE_CURRENT_LIST_DIR}/test_byte_ring.cpp
  ${CMAKE_SOURCE_DIR}/serial/ByteRing.cpp)
target_include_directories(test_byte_ring_native PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(test_byte_ring_native PRIVATE GTest::gtest_main)
target_compile_options(test_byte_ring_native PRIVATE ${LUMO_WARNINGS})
add_test(NAME test_byte_ring_native COMMAND test_byte_ring_native)
