# lumo-cli.exe run as a user runs it, against the simulated gauge on COM8.
lumo_wine_test(test_lumo_cli ${CMAKE_CURRENT_LIST_DIR}/test_lumo_cli.cpp SIM_COM 8)
target_include_directories(test_lumo_cli SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/third_party/include)
target_compile_definitions(test_lumo_cli PRIVATE LUMO_VERSION="${PROJECT_VERSION}")
add_dependencies(test_lumo_cli lumo-cli)
# Ctrl-C typed into the terminal of a poll (a pseudo-terminal, which Wine makes
# the program's console).
add_test(NAME test_lumo_cli_ctrl_c COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/cli/ctrl_c_test.py
         $<TARGET_FILE:lumo-cli>)
set_tests_properties(test_lumo_cli_ctrl_c PROPERTIES ENVIRONMENT "LUMO_SIM_COM=8" RUN_SERIAL TRUE TIMEOUT 120)
