# The in-process server module, TonwellObj.so: the component, engine and tracing
# client linked into one shared object that exports DllGetClassObject and
# DllCanUnloadNow only, over the process's one shared platform library.

# tonwell_add_server_module(TARGET OUTPUT_NAME NAME [DEFINITIONS ...])
# Test builds of the module use the same sources with extra definitions.
function(tonwell_add_server_module target)
  cmake_parse_arguments(M "" "OUTPUT_NAME" "DEFINITIONS" ${ARGN})
  set(dir ${PROJECT_SOURCE_DIR}/server)
  add_library(${target} MODULE
    ${dir}/ServerModule.cpp
    ${dir}/ClassFactory.cpp
    ${dir}/ExposureObjects.cpp
    ${dir}/ModuleMain.cpp
    ${dir}/ModuleLifetime.cpp)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${M_OUTPUT_NAME}
    LINK_DEPENDS ${dir}/TonwellObj.map)
  if(M_DEFINITIONS)
    target_compile_definitions(${target} PRIVATE ${M_DEFINITIONS})
  endif()
  target_link_libraries(${target} PRIVATE tonwell_component tonwell_engine tonwell_trace tonwellplatform)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${dir}/TonwellObj.map")
  if(NOT TONWELL_SANITIZE)
    # Every platform function the module calls must resolve at link time.
    target_link_options(${target} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()

tonwell_add_server_module(TonwellObj OUTPUT_NAME TonwellObj)

# Hosts build against the public header and the platform headers; the module is
# loaded at run time, so only the platform library is linked.
# Relocatable: the prefix is found from where the .pc file lies, so
# `cmake --install --prefix DIR` gives a working file anywhere.
file(RELATIVE_PATH TONWELL_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" TONWELL_PC_TO_PREFIX "${TONWELL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tonwellobj.pc.in ${CMAKE_BINARY_DIR}/tonwellobj.pc @ONLY)
install(TARGETS TonwellObj LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_BINARY_DIR}/include/TonwellObj.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tonwell)
install(FILES ${CMAKE_BINARY_DIR}/tonwellobj.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
