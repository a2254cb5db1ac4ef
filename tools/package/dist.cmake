# The release package: lumo-<version>-win32.zip (win64 for an x86_64 tree) in
# the build folder, and the binaries' debug information beside it in
# lumo-<version>-<arch>-debug.zip. Target lumo_dist; `make dist` builds it.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(LUMO_PACKAGE_ARCH win32)
else()
  set(LUMO_PACKAGE_ARCH win64)
endif()
set(LUMO_PACKAGE_VERSION ${PROJECT_VERSION})
set(LUMO_PACKAGE_NAME lumo-${LUMO_PACKAGE_VERSION}-${LUMO_PACKAGE_ARCH})
set(LUMO_PACKAGE_ZIP ${CMAKE_BINARY_DIR}/${LUMO_PACKAGE_NAME}.zip)
set(LUMO_PACKAGE_README ${CMAKE_BINARY_DIR}/package-readme/README.txt)
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt.in ${LUMO_PACKAGE_README} @ONLY NEWLINE_STYLE CRLF)

set(binaries $<TARGET_FILE:Lumo> $<TARGET_FILE:lumo-cli> $<TARGET_FILE:lumo-demo> $<TARGET_FILE:lumo-host>)
foreach(dll ${LUMO_RUNTIME_DLLS})
  get_filename_component(name ${dll} NAME)
  list(APPEND binaries ${LUMO_DIST}/${name})
endforeach()
string(REPLACE ";" "|" binary_list "${binaries}")
add_custom_command(
  OUTPUT ${LUMO_PACKAGE_ZIP}
  COMMAND ${CMAKE_COMMAND} -DSTAGE=${CMAKE_BINARY_DIR}/package/${LUMO_PACKAGE_NAME}
          -DDEBUG_DIR=${CMAKE_BINARY_DIR}/package/${LUMO_PACKAGE_NAME}-debug
          -DZIP=${LUMO_PACKAGE_ZIP} -DDEBUG_ZIP=${CMAKE_BINARY_DIR}/${LUMO_PACKAGE_NAME}-debug.zip
          -DOBJCOPY=${CMAKE_OBJCOPY} "-DBINARIES=${binary_list}"
          -DHEADER=${CMAKE_SOURCE_DIR}/include/lumo.h -DREADME=${LUMO_PACKAGE_README}
          -P ${CMAKE_CURRENT_LIST_DIR}/package.cmake
  DEPENDS Lumo lumo-cli lumo-demo lumo-host ${binaries} ${CMAKE_SOURCE_DIR}/include/lumo.h
          ${LUMO_PACKAGE_README} ${CMAKE_CURRENT_LIST_DIR}/package.cmake
  COMMENT "Packaging ${LUMO_PACKAGE_NAME}.zip"
  VERBATIM)
add_custom_target(lumo_dist DEPENDS ${LUMO_PACKAGE_ZIP})
