# Build rules shared by every subsystem.

if(KESI_WINDOWS)
  enable_language(RC)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  # Deliverables carry the MinGW runtime inside them and import system DLLs only.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers -Wno-cast-function-type)
  # One prefix for both Windows builds (build/wineprefix beside build/win64 and build/win32): the 32-bit
  # programs run in the 64-bit prefix through WoW64, as on the users' machines.
  get_filename_component(_build_parent ${CMAKE_BINARY_DIR} DIRECTORY)
  set(KESI_WINEPREFIX "${_build_parent}/wineprefix")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
else()
  add_compile_options(-Wall -Wextra -Wno-unused-parameter -fno-omit-frame-pointer
                      -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# kesi_portable_sources(VAR DIR): the OS-free sources of a subsystem (DIR/portable/*.cpp), built by
# every preset; the native preset builds nothing else.
function(kesi_glob var dir)
  file(GLOB _files CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(${var} ${_files} PARENT_SCOPE)
endfunction()

# kesi_message_catalogue(): compiles src/core/messages.mc once into build/messages: messages.rc (the
# message-table resource) and messages.h (the MSG_ ids). The interface library kesi_messages gives its
# users the header, generated before they compile.
function(kesi_message_catalogue)
  set(_out ${CMAKE_BINARY_DIR}/messages)
  add_custom_command(OUTPUT ${_out}/messages.rc ${_out}/messages.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
    COMMAND ${KESI_WINDMC} -U -h ${_out} -r ${_out} ${CMAKE_SOURCE_DIR}/src/core/messages.mc
    DEPENDS ${CMAKE_SOURCE_DIR}/src/core/messages.mc
    COMMENT "Compiling the message catalogue")
  add_custom_target(kesi_messages_gen DEPENDS ${_out}/messages.rc ${_out}/messages.h)
  add_library(kesi_messages INTERFACE)
  target_include_directories(kesi_messages INTERFACE ${_out})
  add_dependencies(kesi_messages kesi_messages_gen)
endfunction()

# kesi_add_message_table(TARGET): links the compiled message catalogue into TARGET as its message-table
# resource.
function(kesi_add_message_table target)
  add_dependencies(${target} kesi_messages_gen)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/messages/messages.rc)
  target_link_libraries(${target} PRIVATE kesi_messages)
endfunction()

# kesi_check_imports(TARGET...): a test that fails when a deliverable imports a DLL that is not part of
# the system (anything missing from the prefix's system32, and the MinGW runtime DLLs).
function(kesi_check_imports)
  if(NOT KESI_TESTS OR NOT KESI_WINDOWS)
    return()
  endif()
  foreach(t ${ARGN})
    add_test(NAME imports.${t}
      COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-imports.sh ${KESI_OBJDUMP} ${KESI_WINEPREFIX} ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:${t}>)
  endforeach()
endfunction()

# kesi_add_subsystem(NAME [PORTABLE_LIBS libs...] [WINDOWS_LIBS libs...]): the subsystem's static libraries
# from the current folder: kesi_NAME_portable from portable/*.cpp (every preset) and kesi_NAME from *.cpp
# (Windows presets), the latter linking the former. Either is made only when it has sources.
function(kesi_add_subsystem name)
  cmake_parse_arguments(A "" "" "PORTABLE_LIBS;WINDOWS_LIBS" ${ARGN})
  set(_dir ${CMAKE_CURRENT_SOURCE_DIR})
  kesi_glob(_portable ${_dir}/portable)
  if(_portable)
    add_library(kesi_${name}_portable STATIC ${_portable})
    target_include_directories(kesi_${name}_portable PUBLIC ${_dir}/portable)
    target_link_libraries(kesi_${name}_portable PUBLIC ${A_PORTABLE_LIBS})
  endif()
  if(KESI_WINDOWS)
    kesi_glob(_win ${_dir})
    if(_win)
      add_library(kesi_${name} STATIC ${_win})
      target_include_directories(kesi_${name} PUBLIC ${_dir})
      target_link_libraries(kesi_${name} PUBLIC ${A_WINDOWS_LIBS})
      if(TARGET kesi_${name}_portable)
        target_link_libraries(kesi_${name} PUBLIC kesi_${name}_portable)
      endif()
    endif()
  endif()
endfunction()
