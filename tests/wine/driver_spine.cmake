# COM1 is the simulated gauge, for the configuration value that asks for it.
lumo_wine_test(test_driver_spine ${CMAKE_CURRENT_LIST_DIR}/test_driver_spine.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/stack_words_i386.cpp SIM_COM 1)
