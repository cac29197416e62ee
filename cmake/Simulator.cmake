# The appliance simulator's control server as a ctest fixture: tests that talk to an appliance require the
# fixture "simulator" and find the control server in the environment variable KESI_SIM_CONTROL. C++ tests
# reach it through tests/support/SimulatorClient.h, whose source KESI_SIMULATOR_CLIENT names.
#
#   include(${CMAKE_SOURCE_DIR}/cmake/Simulator.cmake)
#   kesi_add_test(name SOURCES ... ${KESI_SIMULATOR_CLIENT} PROPERTIES ${KESI_SIMULATOR_PROPERTIES})
#
# The port is fixed per build folder (ctest reads the environment from the test files), outside the
# ephemeral range from which the simulator's own instances take theirs. Concurrent ctest runs of one build
# folder share the server: the fixture keeps a list of the runs that use it and the last one stops it.
if(NOT KESI_WINDOWS OR NOT KESI_TESTS)
  return()
endif()

string(MD5 _kesi_sim_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_kesi_sim_hash}" 0 4 _kesi_sim_hex)
math(EXPR _kesi_sim_port "20000 + (0x${_kesi_sim_hex} % 9000)" OUTPUT_FORMAT DECIMAL)
set(KESI_SIM_CONTROL "127.0.0.1:${_kesi_sim_port}")
set(KESI_SIMULATOR_CLIENT ${CMAKE_SOURCE_DIR}/tests/support/SimulatorClient.cpp)
set(KESI_SIMULATOR_PROPERTIES FIXTURES_REQUIRED simulator ENVIRONMENT "KESI_SIM_CONTROL=${KESI_SIM_CONTROL}")

get_property(_kesi_sim_defined GLOBAL PROPERTY KESI_SIMULATOR_FIXTURE)
if(NOT _kesi_sim_defined)
  set_property(GLOBAL PROPERTY KESI_SIMULATOR_FIXTURE ON)
  set(_kesi_sim_state "${CMAKE_BINARY_DIR}/simulator")
  add_test(NAME simulator.start
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/simulator-fixture.sh start ${_kesi_sim_state} ${KESI_SIM_CONTROL})
  add_test(NAME simulator.stop
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/simulator-fixture.sh stop ${_kesi_sim_state} ${KESI_SIM_CONTROL})
  set_tests_properties(simulator.start PROPERTIES FIXTURES_SETUP simulator TIMEOUT 60)
  set_tests_properties(simulator.stop PROPERTIES FIXTURES_CLEANUP simulator TIMEOUT 60)
endif()
