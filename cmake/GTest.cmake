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
  # Helpers that test programs of several subsystems share.
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  set(_props "")
  if(A_LOCKS)
    list(APPEND _props RESOURCE_LOCK "${A_LOCKS}")
  endif()
  list(APPEND _props ${A_PROPERTIES})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES TIMEOUT 120 ${_props})
endfunction()

# kesi_add_subsystem_tests(NAME [PORTABLE_LIBS libs...] [WINDOWS_LIBS libs...] [WINDOWS_SOURCES files...]
#                          [PROPERTIES props...]): the test executables of a subsystem's test folder:
# NAME_portable_tests from portable/*.cpp (every preset) and NAME_tests from *.cpp and WINDOWS_SOURCES
# (Windows presets, with the message table).
function(kesi_add_subsystem_tests name)
  cmake_parse_arguments(A "" "" "PORTABLE_LIBS;WINDOWS_LIBS;WINDOWS_SOURCES;PROPERTIES" ${ARGN})
  kesi_glob(_portable ${CMAKE_CURRENT_SOURCE_DIR}/portable)
  if(_portable)
    kesi_add_test(${name}_portable_tests SOURCES ${_portable} LIBS ${A_PORTABLE_LIBS})
  endif()
  if(KESI_WINDOWS)
    kesi_glob(_win ${CMAKE_CURRENT_SOURCE_DIR})
    if(_win)
      kesi_add_test(${name}_tests SOURCES ${_win} ${A_WINDOWS_SOURCES} LIBS ${A_WINDOWS_LIBS}
                    PROPERTIES ${A_PROPERTIES})
      kesi_add_message_table(${name}_tests)
    endif()
  endif()
endfunction()

# kesi_suite_properties(TARGET REGEX PROPERTY VALUES... [PROPERTY VALUES...]): test properties for the cases of a GoogleTest
# executable whose names match REGEX. The cases are discovered when ctest starts, so the properties are set
# by a script that runs after the discovery's.
function(kesi_suite_properties target regex)
  string(MAKE_C_IDENTIFIER "${regex}" _id)
  string(REPLACE "\\" "\\\\" _regex "${regex}")
  set(_script ${CMAKE_CURRENT_BINARY_DIR}/${target}_${_id}_properties.cmake)
  # The words after a property's name, up to the next name, make its (list) value. Names come from a fixed
  # list: a value may be written in capitals too (a lock named after an event, say).
  set(_names RESOURCE_LOCK FIXTURES_REQUIRED FIXTURES_SETUP FIXTURES_CLEANUP ENVIRONMENT TIMEOUT LABELS RUN_SERIAL
             PROCESSORS WILL_FAIL DEPENDS COST SKIP_RETURN_CODE WORKING_DIRECTORY)
  set(_props "")
  set(_value "")
  foreach(p ${ARGN})
    if(p IN_LIST _names)
      if(_props)
        string(APPEND _props " \"${_value}\"")
      endif()
      string(APPEND _props " ${p}")
      set(_value "")
    elseif(_value STREQUAL "")
      set(_value "${p}")
    else()
      string(APPEND _value ";${p}")
    endif()
  endforeach()
  string(APPEND _props " \"${_value}\"")
  file(WRITE ${_script}
    "foreach(t IN LISTS ${target}_TESTS)\n"
    "  if(t MATCHES \"${_regex}\")\n"
    "    set_tests_properties(\${t} PROPERTIES${_props})\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_script})
endfunction()
