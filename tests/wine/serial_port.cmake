# TComPort on a raw line of the simulated gauge, whose far end the test drives.
lumo_wine_test(test_serial_port ${CMAKE_CURRENT_LIST_DIR}/test_serial_port.cpp WHITEBOX SIM_COM 12 SIM_ARGS --raw)
# The modem-line shim writes the output lines the port drives here.
set_property(TEST test_serial_port APPEND PROPERTY ENVIRONMENT "LUMO_MODEM_STATE=${CMAKE_BINARY_DIR}/modem-state.txt")
