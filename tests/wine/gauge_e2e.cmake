# The driver end to end over a serial line, against the simulated gauge on COM5.
lumo_wine_test(test_gauge_e2e ${CMAKE_CURRENT_LIST_DIR}/test_gauge_e2e.cpp ${LUMO_ALLOCATION_COUNTER}
               WHITEBOX SIM_COM 5)
