# GoogleTest from Debian's sources, built with whichever compiler this preset uses.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# kesi_add_test(NAME SOURCES... [LIBS libs...] [LOCKS names...] [PROPERTIES props...]): one GoogleTest
# executable; every case in it becomes a ctest test, discovered when the tests run (so the build never
# starts Wine). PROPERTIES are further test properties for every case (fixtures, environment).
function(kesi_add_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LOCKS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${A_SOURCES} ${A_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main)
  set(_props "")
  if(A_LOCKS)
    list(APPEND _props RESOURCE_LOCK "${A_LOCKS}")
  endif()
  list(APPEND _props ${A_PROPERTIES})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES TIMEOUT 120 ${_props})
endfunction()
