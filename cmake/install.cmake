# Install layout and the CMake package a host project finds with
# find_package(pel_ipc): bin/pel_ipc.dll, lib/ import libraries (pel_ipc.dll.a
# for MinGW, pel_ipc.lib for Visual Studio), include/pel_ipc.h,
# lib/cmake/pel_ipc/. The imported target pel_ipc::pel_ipc is the DLL with the
# import library of the host's toolchain; hosts get no PEL_IPC_STATIC and so
# import from the DLL.
include(CMakePackageConfigHelpers)

target_include_directories(pel_ipc INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                             $<INSTALL_INTERFACE:include>)

install(TARGETS pel_ipc EXPORT pel_ipcTargets
        RUNTIME DESTINATION bin
        LIBRARY DESTINATION bin
        ARCHIVE DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/pel_ipc.h DESTINATION include)

# A MinGW build makes the Visual Studio import library from the same export
# list as the DLL (an MSVC build names its own import library so already).
if(NOT MSVC)
  set(PEL_MSVC_IMPLIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/pel_ipc.lib)
  add_custom_command(OUTPUT ${PEL_MSVC_IMPLIB}
                     COMMAND ${CMAKE_DLLTOOL} --input-def ${CMAKE_SOURCE_DIR}/src/api/pel_ipc.def
                             --dllname pel_ipc.dll --output-lib ${PEL_MSVC_IMPLIB}
                     DEPENDS ${CMAKE_SOURCE_DIR}/src/api/pel_ipc.def VERBATIM)
  add_custom_target(pel_ipc_msvc_implib ALL DEPENDS ${PEL_MSVC_IMPLIB})
  install(FILES ${PEL_MSVC_IMPLIB} DESTINATION lib)
endif()
install(EXPORT pel_ipcTargets NAMESPACE pel_ipc:: DESTINATION lib/cmake/pel_ipc)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/pel_ipcConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/pel_ipcConfig.cmake
                              INSTALL_DESTINATION lib/cmake/pel_ipc)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/pel_ipcConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/pel_ipcConfig.cmake ${CMAKE_BINARY_DIR}/pel_ipcConfigVersion.cmake
        DESTINATION lib/cmake/pel_ipc)
