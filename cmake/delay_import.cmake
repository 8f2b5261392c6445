# Delay-load libraries: a DLL imported through one is loaded on the first call, by the runtime's
# helper, under the process's DLL search settings, instead of by the loader at start-up (when
# the program's own folder is searched first).
find_program(ORVINST_DLLTOOL NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool dlltool REQUIRED)
find_program(ORVINST_NM NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-nm nm REQUIRED)

# orvinst_delay_import(<target> <import library name> <dll file name>): an imported library
# <target> with every function of lib<name>.a, delay-loaded from <dll file name>.
function(orvinst_delay_import target name dll)
  find_library(ORVINST_IMPORT_${name} NAMES lib${name}.a ${name} REQUIRED)
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}_delay.def)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${name}_delay.a)
  add_custom_command(
    OUTPUT ${lib}
    COMMAND ${CMAKE_SOURCE_DIR}/cmake/delay_def.sh ${ORVINST_NM} ${ORVINST_IMPORT_${name}} ${dll}
            ${def}
    COMMAND ${ORVINST_DLLTOOL} --input-def ${def} --dllname ${dll} --output-delaylib ${lib}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/delay_def.sh ${ORVINST_IMPORT_${name}}
    COMMENT "Delay-load library for ${dll}"
    VERBATIM)
  add_custom_target(${target}_gen DEPENDS ${lib})
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${lib})
  add_dependencies(${target} ${target}_gen)
endfunction()
