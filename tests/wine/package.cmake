# The release zip: static checks of the 32-bit package, then its programs run
# from the unpacked folder against the simulated gauge on COM8. Where this
# tree is 64-bit (a machine that cannot run 32-bit code), the runs use this
# tree's package, built the same way. `make test` builds the product's zip
# first (make dist).
if(NOT LUMO_ROOT)
  set(LUMO_ROOT ${CMAKE_SOURCE_DIR})
endif()
set(LUMO_PRODUCT_ZIP ${LUMO_ROOT}/build/lumo-${PROJECT_VERSION}-win32.zip)
add_executable(test_package ${CMAKE_CURRENT_LIST_DIR}/test_package.cpp)
target_link_libraries(test_package PRIVATE lumo_test_support GTest::gtest_main version)
target_compile_options(test_package PRIVATE ${LUMO_WARNINGS})
set_target_properties(test_package PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LUMO_DIST})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(run_zip ${LUMO_PRODUCT_ZIP})
else()
  set(run_zip ${CMAKE_BINARY_DIR}/lumo-${PROJECT_VERSION}-win64.zip)
  add_dependencies(test_package lumo_dist)
endif()
add_test(NAME test_package COMMAND ${CMAKE_SOURCE_DIR}/tests/package/check_package.sh
         ${LUMO_PRODUCT_ZIP} ${run_zip} $<TARGET_FILE:test_package>)
set_tests_properties(test_package PROPERTIES ENVIRONMENT "LUMO_SIM_COM=8" RUN_SERIAL TRUE TIMEOUT 300)
