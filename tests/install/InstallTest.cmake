# Installs the build tree under a fresh prefix, then, against that tree only:
# configures and builds the host project in consumer/ (find_package of the
# platform), runs it (it loads the installed plug-in), and runs the installed
# shadowctl with its default plug-in.
#
# cmake -DBUILD_DIR=<build tree> -DWORK_DIR=<scratch directory> -DCONSUMER_DIR=<consumer/>
#       -DCXX_COMPILER=... -DCXX_FLAGS=... -DEXE_LINKER_FLAGS=... -P InstallTest.cmake
cmake_minimum_required(VERSION 3.25)

function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run_checked("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

run_checked("configuring the host project" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/host -G Ninja
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_CXX_FLAGS=${CXX_FLAGS}
  -DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS})
run_checked("building the host project" ${CMAKE_COMMAND} --build ${WORK_DIR}/host)
run_checked("the host" ${WORK_DIR}/host/vovu_host)
if(NOT output MATCHES "^[1-9][0-9]* reader factories, [1-9][0-9]* table factories\n$")
  message(FATAL_ERROR "the host printed: ${output}")
endif()

# The installed shadowctl names the installed plug-in as its default and runs
# with it. (That its default revisions register what the host's default list
# does: the shadowctl and plug-in load tests.)
run_checked("shadowctl --help" ${prefix}/bin/shadowctl --help)
string(FIND "${output}" "${prefix}/lib/vovu/plugins/libbcm88490_a0_l3tables.so" at)
if(at EQUAL -1)
  message(FATAL_ERROR "shadowctl's default plug-in is not the installed one:\n${output}")
endif()
run_checked("shadowctl tables" ${prefix}/bin/shadowctl tables)
file(REMOVE_RECURSE ${WORK_DIR})
