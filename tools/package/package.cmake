# Builds the release zip (cmake -P). Inputs: STAGE (folder to fill, its name
# is the package's top folder), DEBUG_DIR, ZIP, DEBUG_ZIP, OBJCOPY, BINARIES
# (files to ship stripped, ';'-separated), HEADER, README.
foreach(v STAGE DEBUG_DIR ZIP DEBUG_ZIP OBJCOPY BINARIES HEADER README)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "package.cmake: ${v} not set")
  endif()
endforeach()
string(REPLACE "|" ";" BINARIES "${BINARIES}")

file(REMOVE_RECURSE ${STAGE} ${DEBUG_DIR})
file(REMOVE ${ZIP} ${DEBUG_ZIP})
file(MAKE_DIRECTORY ${STAGE}/include ${DEBUG_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "package.cmake: failed (${status}): ${ARGN}")
  endif()
endfunction()

# Debug information into NAME.debug, kept out of the package; the shipped file
# loses its debug sections and names the .debug file in .gnu_debuglink.
foreach(file ${BINARIES})
  get_filename_component(name ${file} NAME)
  file(COPY ${file} DESTINATION ${STAGE})
  run(${OBJCOPY} --only-keep-debug ${STAGE}/${name} ${DEBUG_DIR}/${name}.debug)
  run(${OBJCOPY} --strip-debug --add-gnu-debuglink=${DEBUG_DIR}/${name}.debug ${STAGE}/${name})
endforeach()
file(COPY ${HEADER} DESTINATION ${STAGE}/include)
file(COPY ${README} DESTINATION ${STAGE})

get_filename_component(parent ${STAGE} DIRECTORY)
get_filename_component(top ${STAGE} NAME)
get_filename_component(debug_top ${DEBUG_DIR} NAME)
run(zip -q -r -X -9 ${ZIP} ${top} WORKING_DIRECTORY ${parent})
run(zip -q -r -X -9 ${DEBUG_ZIP} ${debug_top} WORKING_DIRECTORY ${parent})
file(SIZE ${ZIP} size)
math(EXPR kib "${size} / 1024")
message(STATUS "package ${ZIP}: ${kib} KiB")
