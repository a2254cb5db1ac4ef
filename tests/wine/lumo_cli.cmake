# lumo-cli.exe run as a user runs it, against the simulated gauge on COM8.
lumo_wine_test(test_lumo_cli ${CMAKE_CURRENT_LIST_DIR}/test_lumo_cli.cpp SIM_COM 8)
target_include_directories(test_lumo_cli SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/third_party/include)
target_compile_definitions(test_lumo_cli PRIVATE LUMO_VERSION="${PROJECT_VERSION}")
add_dependencies(test_lumo_cli lumo-cli)
