# TComPort over the virtual serial line: the same as lumo_wine_test(... WHITEBOX)
# but run by scripts/vserial-run.sh, which starts the pty peer and preloads
# the modem-line shim into Wine.
add_executable(test_serial_port ${CMAKE_CURRENT_LIST_DIR}/test_serial_port.cpp
                                ${CMAKE_SOURCE_DIR}/tests/serial/VirtualLine.cpp)
target_include_directories(test_serial_port PRIVATE ${CMAKE_SOURCE_DIR}/tests/serial)
target_link_libraries(test_serial_port PRIVATE lumo_test_support GTest::gtest_main lumo_core ws2_32)
target_compile_options(test_serial_port PRIVATE ${LUMO_WARNINGS})
set_target_properties(test_serial_port PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMO_DIST})
add_dependencies(test_serial_port Lumo)
add_test(NAME test_serial_port COMMAND ${CMAKE_SOURCE_DIR}/scripts/vserial-run.sh
         $<TARGET_FILE:test_serial_port>)
set_tests_properties(test_serial_port PROPERTIES TIMEOUT 180)
