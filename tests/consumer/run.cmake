# Installs the build into a fresh prefix, builds tests/consumer against it
# with the same toolchain and, as a Visual Studio project would, for the MSVC
# target with the MSVC-style linker against pel_ipc.lib; runs both under the
# build's Wine wrapper. Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, TOOLCHAIN,
# VERSION.
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
foreach(f bin/pel_ipc.dll lib/pel_ipc.dll.a lib/pel_ipc.lib include/pel_ipc.h
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

# The MSVC-style host. Visual Studio would bring kernel32.lib and version.lib;
# here they are made from the few names the host imports.
set(msvc ${WORK_DIR}/msvc)
file(MAKE_DIRECTORY ${msvc})
file(WRITE ${msvc}/kernel32.def "LIBRARY kernel32.dll\nEXPORTS\nExitProcess\nGetStdHandle\n"
     "WriteFile\nGetCommandLineA\nGetCurrentProcessId\n")
file(WRITE ${msvc}/version.def "LIBRARY version.dll\nEXPORTS\nGetFileVersionInfoSizeA\n"
     "GetFileVersionInfoA\nVerQueryValueA\n")
foreach(lib kernel32 version)
  run("${lib}.lib" llvm-dlltool-14 -m i386:x86-64 -d ${msvc}/${lib}.def -l ${msvc}/${lib}.lib)
endforeach()
run("MSVC-target compile" clang++-14 --target=x86_64-pc-windows-msvc -std=c++17 -O1
    -ffreestanding -fno-exceptions -fno-rtti -Wall -Wextra -Werror -I${prefix}/include
    -c ${SOURCE_DIR}/tests/consumer/msvc_consumer.cpp -o ${msvc}/msvc_consumer.obj)
run("lld-link" lld-link-14 /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib
    ${msvc}/msvc_consumer.obj ${prefix}/lib/pel_ipc.lib ${msvc}/kernel32.lib ${msvc}/version.lib
    /out:${msvc}/msvc_consumer.exe)
file(COPY ${prefix}/bin/pel_ipc.dll DESTINATION ${msvc})
string(REPLACE "/" "\\" tool "Z:${prefix}/bin/pelipc.exe")
run("msvc consumer" ${BUILD_DIR}/wine-run.sh ${msvc}/msvc_consumer.exe ${tool} ${VERSION})
if(NOT last_output MATCHES "msvc consumer OK")
  message(FATAL_ERROR "msvc consumer said:\n${last_output}")
endif()
message(STATUS "MSVC-style host linked with pel_ipc.lib and ran: ${last_output}")
