# The tuning dialog and its menu item through the reference host's window, on
# a virtual display with real input, against the simulated gauge on COM7.
# Wine runs with a Russian locale, as the gauge's users' Windows does: code
# page 1251 and the Cyrillic MS Sans Serif.
lumo_wine_test(test_tuning_dialog ${CMAKE_CURRENT_LIST_DIR}/test_tuning_dialog.cpp
               ${LUMO_UI_RESOURCES} WHITEBOX GUI SIM_COM 7)
target_link_libraries(test_tuning_dialog PRIVATE lumo_host_window)
set_property(TEST test_tuning_dialog APPEND PROPERTY ENVIRONMENT "LC_ALL=ru_RU.UTF-8")
