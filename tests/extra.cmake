# Tests beyond the *_test.cpp executables.

# The tool and example tests start those programs from the same bin folder.
add_dependencies(pelipc_test pelipc)
add_dependencies(examples_test echo_server echo_client)

# Install into a fresh prefix and build a host project against it.
add_test(NAME install_consumer
         COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                 -DWORK_DIR=${CMAKE_BINARY_DIR}/consumer-test
                 -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer/run.cmake)
set_tests_properties(install_consumer PROPERTIES TIMEOUT 300)
