# Script run by CTest: install, configure, build and run the consumer.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
if(NOT last_output MATCHES "COM1 9600")
  message(FATAL_ERROR "unexpected consumer output: ${last_output}")
endif()

# pkg-config gives the same library to a plain compiler line.
file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pc_dirs}")
run(pkg-config --cflags --libs rdr00800)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${CXX_FLAGS} ${flags} ${LINK_FLAGS}")
run(${CXX_COMPILER} -std=c++20 ${CONSUMER_DIR}/consumer.cpp ${flags} -o ${WORK_DIR}/consumer_pc)
file(GLOB lib_dirs ${prefix}/lib*)
set(ENV{LD_LIBRARY_PATH} "${lib_dirs}")
run(${WORK_DIR}/consumer_pc)
