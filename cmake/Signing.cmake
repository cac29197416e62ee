# The code-signing certificate of the test fixtures and sample components: one per build folder, made by
# cmake/sign.sh, which also signs with it (sign.sh signed|unsigned|tampered IN OUT DIR).
#
#   include(${CMAKE_SOURCE_DIR}/cmake/Signing.cmake)
#   add_custom_command(OUTPUT x.cab COMMAND ${KESI_SIGN} signed in.cab x.cab ${KESI_SIGNING_DIR}
#                      DEPENDS ${KESI_SIGNING_CERTIFICATE} ...)
#   add_dependencies(<target that builds x.cab> kesi_signing_certificate)
#
# The target orders the certificate before its users in other folders; the file dependency remakes them
# when it changes. kesi_signed_component (below) makes a signed component CAB with it.
if(NOT KESI_WINDOWS)
  return()
endif()

set(KESI_SIGN_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/sign.sh)
set(KESI_SIGN bash ${KESI_SIGN_SCRIPT})
# Where the firewall fixtures, its first users, have always had it (other build rules name this folder).
set(KESI_SIGNING_DIR ${CMAKE_BINARY_DIR}/tests/fixtures/firewall/cert)
set(KESI_SIGNING_CERTIFICATE ${KESI_SIGNING_DIR}/cert.pem ${KESI_SIGNING_DIR}/key.pem)

get_property(_kesi_signing_defined GLOBAL PROPERTY KESI_SIGNING_CERTIFICATE_DEFINED)
if(NOT _kesi_signing_defined)
  set_property(GLOBAL PROPERTY KESI_SIGNING_CERTIFICATE_DEFINED ON)
  add_custom_command(OUTPUT ${KESI_SIGNING_CERTIFICATE}
    COMMAND ${KESI_SIGN} certificate ${KESI_SIGNING_DIR}
    DEPENDS ${KESI_SIGN_SCRIPT}
    COMMENT "Making the fixtures' code-signing certificate")
  add_custom_target(kesi_signing_certificate DEPENDS ${KESI_SIGNING_CERTIFICATE})
endif()

# kesi_signed_component(TARGET NAME FOLDER ARGS...): the custom target TARGET makes FOLDER/NAME.cab, a
# component signed with the certificate above (cmake/make-component.py NAME with ARGS: --version, --files,
# --total-bytes, --text), and FOLDER/scenario.json, an appliance simulator scenario (the demo scenario)
# that serves FOLDER under /postauth/.
function(kesi_signed_component target name folder)
  add_custom_command(OUTPUT ${folder}/${name}.cab
    COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/make-component.py --name ${name} --out ${folder}
            --sign ${KESI_SIGN_SCRIPT} --certificate ${KESI_SIGNING_DIR} ${ARGN}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make-component.py ${KESI_SIGNING_CERTIFICATE} ${KESI_SIGN_SCRIPT}
    COMMENT "Making the signed component ${name}.cab")
  file(WRITE ${folder}/scenario.json "{\"base\": \"default\", \"files\": \".\"}\n")
  add_custom_target(${target} DEPENDS ${folder}/${name}.cab)
  add_dependencies(${target} kesi_signing_certificate)
endfunction()
