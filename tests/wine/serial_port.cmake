# TComPort on a raw line of the simulated gauge, whose far end the test drives.
lumo_wine_test(test_serial_port ${CMAKE_CURRENT_LIST_DIR}/test_serial_port.cpp WHITEBOX SIM_COM 12 SIM_ARGS --raw)
