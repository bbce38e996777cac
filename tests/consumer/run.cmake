# Installs the build into a fresh prefix, builds tests/consumer against it
# with the same toolchain, and runs the consumer under the build's Wine
# wrapper. Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, TOOLCHAIN.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f bin/pel_ipc.dll lib/pel_ipc.dll.a include/pel_ipc.h
          lib/cmake/pel_ipc/pel_ipcConfig.cmake lib/cmake/pel_ipc/pel_ipcConfigVersion.cmake
          lib/cmake/pel_ipc/pel_ipcTargets.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "install did not lay out ${f}")
  endif()
endforeach()

# The cross toolchain confines package searches to the MinGW root, so the
# package folder is named directly (a native Windows host would set
# CMAKE_PREFIX_PATH to the prefix instead).
run("configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release
    -Dpel_ipc_DIR=${prefix}/lib/cmake/pel_ipc)
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
string(RANDOM LENGTH 8 tag)
run("consumer" ${BUILD_DIR}/wine-run.sh ${WORK_DIR}/build/consumer.exe ${tag})
if(NOT last_output MATCHES "consumer OK")
  message(FATAL_ERROR "consumer said:\n${last_output}")
endif()
message(STATUS "installed package found, built and ran: ${last_output}")
