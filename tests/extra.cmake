# Tests beyond the *_test.cpp executables.

# The tool and example tests start those programs from the same bin folder.
add_dependencies(tools_test pelipc echo_server echo_client)

# Install into a fresh prefix and build a host project against it, once with
# the MinGW toolchain and once as a Visual Studio host would be built.
add_test(NAME install_consumer
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                 -DWORK_DIR=${CMAKE_BINARY_DIR}/consumer-test
                 -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DVERSION=${PROJECT_VERSION}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer/run.cmake)
set_tests_properties(install_consumer PROPERTIES TIMEOUT 300)

# The stream cutter fuzzer is a native Linux program (clang, libFuzzer, ASan,
# UBSan), built and run by its script outside the cross build.
add_test(NAME stream_cutter_fuzz
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/run-fuzz.sh ${CMAKE_BINARY_DIR}/fuzz runs 1000000)
set_tests_properties(stream_cutter_fuzz PROPERTIES TIMEOUT 600)
