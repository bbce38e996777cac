# Installs the build into a fresh prefix, builds the examples against it with
# the same toolchain and, as a Visual Studio project would, a host for the MSVC
# target with the MSVC-style linker against pel_ipc.lib; runs both under the
# build's Wine wrapper. Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, TOOLCHAIN.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

# Each installed file is used below: the package files, header and import
# library by the MinGW build, pel_ipc.lib and the DLL by the MSVC-style host.
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The cross toolchain confines package searches to the MinGW root, so the
# package folder is named directly (a native Windows host would set
# CMAKE_PREFIX_PATH to the prefix instead).
run("configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release
    -Dpel_ipc_DIR=${prefix}/lib/cmake/pel_ipc -DEXAMPLES_DIR=${SOURCE_DIR}/examples)
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
# A host ships the DLL beside its executable.
file(COPY ${prefix}/bin/pel_ipc.dll DESTINATION ${WORK_DIR}/build/examples)
# No server listens: the installed DLL loads and its connect reports the missing pipe.
execute_process(COMMAND ${BUILD_DIR}/wine-run.sh ${WORK_DIR}/build/examples/echo_client.exe
                        pel_ipc_consumer_nobody OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 2 OR NOT out MATCHES "failed: error 12")
  message(FATAL_ERROR "installed echo_client gave ${rc}:\n${out}")
endif()

# The MSVC-style host. Visual Studio would bring kernel32.lib; here it is made
# from the one name the host imports.
set(msvc ${WORK_DIR}/msvc)
file(MAKE_DIRECTORY ${msvc})
file(WRITE ${msvc}/kernel32.def "LIBRARY kernel32.dll\nEXPORTS\nExitProcess\n")
run("kernel32.lib" llvm-dlltool-14 -m i386:x86-64 -d ${msvc}/kernel32.def -l ${msvc}/kernel32.lib)
run("MSVC-target compile" clang++-14 --target=x86_64-pc-windows-msvc -std=c++17 -O1
    -ffreestanding -fno-exceptions -fno-rtti -Wall -Wextra -Werror -I${prefix}/include
    -c ${SOURCE_DIR}/tests/consumer/msvc_consumer.cpp -o ${msvc}/msvc_consumer.obj)
run("lld-link" lld-link-14 /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib
    ${msvc}/msvc_consumer.obj ${prefix}/lib/pel_ipc.lib ${msvc}/kernel32.lib
    /out:${msvc}/msvc_consumer.exe)
file(COPY ${prefix}/bin/pel_ipc.dll DESTINATION ${msvc})
run("msvc consumer (exit code: the failed step)" ${BUILD_DIR}/wine-run.sh ${msvc}/msvc_consumer.exe)
