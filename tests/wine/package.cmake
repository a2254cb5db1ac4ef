# The release zip: static checks of the 32-bit package, then its programs run
# from the unpacked folder against the simulated gauge on COM8 (all in
# tests/package/check_package.sh). Where this tree is 64-bit (a machine that
# cannot run 32-bit code), the runs use this tree's package, built the same
# way. `make test` builds the product's zip first (make dist).
if(NOT LUMO_ROOT)
  set(LUMO_ROOT ${CMAKE_SOURCE_DIR})
endif()
set(LUMO_PRODUCT_ZIP ${LUMO_ROOT}/build/lumo-${PROJECT_VERSION}-win32.zip)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(run_zip ${LUMO_PRODUCT_ZIP})
else()
  set(run_zip ${CMAKE_BINARY_DIR}/lumo-${PROJECT_VERSION}-win64.zip)
  add_custom_target(test_package_zip ALL)
  add_dependencies(test_package_zip lumo_dist)
endif()
add_test(NAME test_package COMMAND ${CMAKE_SOURCE_DIR}/tests/package/check_package.sh ${LUMO_PRODUCT_ZIP} ${run_zip})
set_tests_properties(test_package PROPERTIES ENVIRONMENT "LUMO_SIM_COM=8" RUN_SERIAL TRUE TIMEOUT 300)
