# The simulated gauge: its core, and the program over a pseudo-terminal.
find_package(GTest REQUIRED)
add_executable(test_lumo_sim ${CMAKE_CURRENT_LIST_DIR}/test_lumo_sim.cpp)
target_link_libraries(test_lumo_sim PRIVATE lumo_sim_core GTest::gtest_main)
target_compile_options(test_lumo_sim PRIVATE ${LUMO_WARNINGS})
target_compile_definitions(test_lumo_sim PRIVATE LUMO_SIM_BINARY="$<TARGET_FILE:lumo-sim>")
add_dependencies(test_lumo_sim lumo-sim)
add_test(NAME test_lumo_sim COMMAND test_lumo_sim)
set_tests_properties(test_lumo_sim PROPERTIES TIMEOUT 60)
