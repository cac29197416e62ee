# Windows Installer packages made with wixl for this build's platform, signed with the build's
# certificate (cmake/Signing.cmake). One way to make a package, for the client's own packages
# (packaging/) and for the test fixtures alike.
#
#   kesi_msi_package(OUTPUT <file.msi> SOURCE <file.wxs> [SIGNING signed|unsigned|tampered]
#                    [FILES NAME=PATH...] [STRIP] [DEFINES NAME=VALUE...] [DEPENDS <files or targets>...]
#                    [AMEND <command>...])
#
# Each FILES entry copies PATH (generator expressions allowed) into the package's staging folder and
# defines NAME as its name there, for a File element's Source (wixl takes only relative sources); a
# changed PATH makes the package again. With STRIP the copies of programs and libraries lose their
# debugging sections (the shipped packages). The source also sees its DEFINES and, for the build's
# platform, Win64 (yes|no), ProgramFiles (ProgramFiles64Folder|ProgramFilesFolder) and SystemFolder
# (System64Folder|SystemFolder). AMEND runs a command on the package that wixl made, with its path as the
# last argument, before it is signed: a fixture that must differ from what wixl writes (a damaged
# cabinet) still carries a signature over its own bytes. SIGNING is signed unless told otherwise. The
# caller orders the certificate first: add_dependencies(<its target> kesi_signing_certificate).
#
#   kesi_msi_package_stage(<variable> <file.msi>)
#
# The folder that holds the copies a package made in the current folder carries (its FILES, stripped with
# STRIP), for tests that compare installed files with them.
#
#   kesi_client_packages(TARGET <target> FOLDER <folder> VERSION <major.minor.build> [ALL])
#
# The client's kesi.msi and kesiVista.msi of that version (minor below 100) in FOLDER, with the build.ver
# that the version writes, made by the custom target TARGET; tests make older and newer clients with it.
# Their product codes, the same in every version (an installed client is upgraded in place), are
# KESI_CLIENT_PRODUCT_CODE and KESI_BROKER_PRODUCT_CODE; tests and benchmarks take them from here.
if(NOT KESI_WINDOWS)
  return()
endif()
set(KESI_CLIENT_PRODUCT_CODE "{6F3B2D1E-8A4C-4B7E-9C21-5D0E7A3F1B10}")
set(KESI_BROKER_PRODUCT_CODE "{6F3B2D1E-8A4C-4B7E-9C21-5D0E7A3F1B20}")
include(${CMAKE_CURRENT_LIST_DIR}/Signing.cmake)
set(KESI_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
cmake_path(NORMAL_PATH KESI_PACKAGING_DIR)

function(kesi_msi_package_stage variable output)
  string(MD5 _key "${output}")
  set(${variable} ${CMAKE_CURRENT_BINARY_DIR}/wixl/${_key}/files PARENT_SCOPE)
endfunction()

function(kesi_msi_package)
  cmake_parse_arguments(P "STRIP" "OUTPUT;SOURCE;SIGNING" "FILES;DEFINES;DEPENDS;AMEND" ${ARGN})
  if(NOT P_OUTPUT OR NOT P_SOURCE)
    message(FATAL_ERROR "kesi_msi_package: OUTPUT and SOURCE are required")
  endif()
  if(NOT P_SIGNING)
    set(P_SIGNING signed)
  endif()
  if(KESI_MSI_ARCH STREQUAL "x64")
    set(_platform -D Win64=yes -D ProgramFiles=ProgramFiles64Folder -D SystemFolder=System64Folder)
  else()
    set(_platform -D Win64=no -D ProgramFiles=ProgramFilesFolder -D SystemFolder=SystemFolder)
  endif()
  set(_defines)
  foreach(_define IN LISTS P_DEFINES)
    list(APPEND _defines -D "${_define}")
  endforeach()
  # The staging folder and the unsigned package, beside the build rules of the folder that asked for it.
  get_filename_component(_name "${P_OUTPUT}" NAME)
  kesi_msi_package_stage(_stage "${P_OUTPUT}")
  cmake_path(GET _stage PARENT_PATH _stage)
  set(_raw ${_stage}/${_name})
  file(MAKE_DIRECTORY ${_stage})
  set(_copies)
  set(_inputs)
  foreach(_file IN LISTS P_FILES)
    if(NOT _file MATCHES "^([A-Za-z0-9_]+)=(.+)$")
      message(FATAL_ERROR "kesi_msi_package: FILES entry ${_file} is not NAME=PATH")
    endif()
    set(_variable ${CMAKE_MATCH_1})
    set(_path ${CMAKE_MATCH_2})
    set(_copy files/$<PATH:GET_FILENAME,${_path}>)
    if(P_STRIP AND _path MATCHES "(TARGET_FILE|\\.exe$|\\.dll$)")
      list(APPEND _copies COMMAND ${CMAKE_STRIP} --strip-debug -o ${_copy} ${_path})
    else()
      list(APPEND _copies COMMAND ${CMAKE_COMMAND} -E copy ${_path} ${_copy})
    endif()
    list(APPEND _defines -D "${_variable}=${_copy}")
    list(APPEND _inputs ${_path})
  endforeach()
  set(_amend)
  if(P_AMEND)
    set(_amend COMMAND ${P_AMEND} ${_raw})
  endif()
  add_custom_command(OUTPUT ${P_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E rm -rf files
    COMMAND ${CMAKE_COMMAND} -E make_directory files
    ${_copies}
    # wixl warns on stderr about attributes it ignores; its exit code is what counts.
    COMMAND sh -c "wixl \"$@\" 2>/dev/null" wixl -a ${KESI_MSI_ARCH} ${_platform} ${_defines} -o ${_raw} ${P_SOURCE}
    ${_amend}
    COMMAND ${KESI_SIGN} ${P_SIGNING} ${_raw} ${P_OUTPUT} ${KESI_SIGNING_DIR}
    DEPENDS ${P_SOURCE} ${_inputs} ${P_DEPENDS} ${KESI_SIGN_SCRIPT} ${KESI_SIGNING_CERTIFICATE}
    WORKING_DIRECTORY ${_stage}
    COMMENT "Making ${_name} (${P_SIGNING})"
    VERBATIM)
endfunction()

function(kesi_client_packages)
  cmake_parse_arguments(P "ALL" "TARGET;FOLDER;VERSION" "" ${ARGN})
  if(NOT P_VERSION MATCHES "^([0-9]+)\\.([0-9]|[1-9][0-9])\\.([0-9]+)$")
    message(FATAL_ERROR "kesi_client_packages: version ${P_VERSION} is not major.minor.build with a minor below 100")
  endif()
  set(_major ${CMAKE_MATCH_1})
  set(_minor ${CMAKE_MATCH_2})
  set(_build ${CMAKE_MATCH_3})
  # build.ver writes the minor number as two fields of one digit each ("10,7,2,607" is 10.72.607).
  math(EXPR _tens "${_minor} / 10")
  math(EXPR _ones "${_minor} % 10")
  file(MAKE_DIRECTORY ${P_FOLDER})
  file(WRITE ${P_FOLDER}/build.ver "${_major},${_tens},${_ones},${_build}\r\n")
  kesi_msi_package(OUTPUT ${P_FOLDER}/kesi.msi SOURCE ${KESI_PACKAGING_DIR}/kesi.wxs
    FILES Library=$<TARGET_FILE:KESI> Broker=$<TARGET_FILE:kesivista> Launcher=$<TARGET_FILE:ozmInstaller>
          BuildVer=${P_FOLDER}/build.ver
    STRIP
    DEFINES Version=${P_VERSION} ProductCode=${KESI_CLIENT_PRODUCT_CODE}
    DEPENDS KESI kesivista ozmInstaller ${P_FOLDER}/build.ver)
  kesi_msi_package(OUTPUT ${P_FOLDER}/kesiVista.msi SOURCE ${KESI_PACKAGING_DIR}/kesiVista.wxs
    FILES Broker=$<TARGET_FILE:kesivista>
    STRIP
    DEFINES Version=${P_VERSION} ProductCode=${KESI_BROKER_PRODUCT_CODE}
    DEPENDS kesivista)
  if(P_ALL)
    set(_all ALL)
  else()
    set(_all)
  endif()
  add_custom_target(${P_TARGET} ${_all} DEPENDS ${P_FOLDER}/kesi.msi ${P_FOLDER}/kesiVista.msi)
  add_dependencies(${P_TARGET} kesi_signing_certificate)
endfunction()
