# The simulated gauge: a testable core (one file per job) and the program
# around it.
file(GLOB sim_core CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/Sim*.cpp)
add_library(lumo_sim_core STATIC ${sim_core})
target_include_directories(lumo_sim_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(lumo_sim_core PUBLIC lumo_protocol)
target_compile_options(lumo_sim_core PRIVATE ${LUMO_WARNINGS})

add_executable(lumo-sim ${CMAKE_CURRENT_LIST_DIR}/lumo_sim.cpp)
target_link_libraries(lumo-sim PRIVATE lumo_sim_core)
target_compile_options(lumo-sim PRIVATE ${LUMO_WARNINGS})
