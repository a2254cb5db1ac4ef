lumo_wine_test(test_requests ${CMAKE_CURRENT_LIST_DIR}/test_measurements.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/test_channel_parameters.cpp WHITEBOX)
