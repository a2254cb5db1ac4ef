# cnf.ini and the run-time connection switch, against the simulated gauge on
# COM3; COM4 is linked to the same line.
lumo_wine_test(test_connection_config ${CMAKE_CURRENT_LIST_DIR}/test_connection_config.cpp
               WHITEBOX SIM_COM 3)
set_property(TEST test_connection_config APPEND PROPERTY ENVIRONMENT "LUMO_SIM_ALSO_COM=4")
