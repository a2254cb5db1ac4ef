# The library's opt-in trace against the simulated gauge on COM4.
lumo_wine_test(test_trace ${CMAKE_CURRENT_LIST_DIR}/test_trace.cpp WHITEBOX SIM_COM 4)
