# Install layout and the CMake package a host project finds with
# find_package(pel_ipc): bin/pel_ipc.dll, lib/ import library, include/pel_ipc.h,
# lib/cmake/pel_ipc/. The imported target pel_ipc::pel_ipc is the DLL with its
# import library; hosts get no PEL_IPC_STATIC and so import from the DLL.
include(CMakePackageConfigHelpers)

target_include_directories(pel_ipc INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                             $<INSTALL_INTERFACE:include>)

install(TARGETS pel_ipc EXPORT pel_ipcTargets
        RUNTIME DESTINATION bin
        LIBRARY DESTINATION bin
        ARCHIVE DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/pel_ipc.h DESTINATION include)
install(EXPORT pel_ipcTargets NAMESPACE pel_ipc:: DESTINATION lib/cmake/pel_ipc)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/pel_ipcConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/pel_ipcConfig.cmake
                              INSTALL_DESTINATION lib/cmake/pel_ipc)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/pel_ipcConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/pel_ipcConfig.cmake ${CMAKE_BINARY_DIR}/pel_ipcConfigVersion.cmake
        DESTINATION lib/cmake/pel_ipc)
