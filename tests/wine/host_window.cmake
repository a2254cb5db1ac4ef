# The reference host's window under Wine on a virtual display, with the input
# agent and the simulated gauge on COM6; also runs lumo-host.exe itself.
lumo_wine_test(test_host_window ${CMAKE_CURRENT_LIST_DIR}/test_host_window.cpp GUI SIM_COM 6)
target_link_libraries(test_host_window PRIVATE lumo_host_window)
add_dependencies(test_host_window lumo-host)
