cmake_minimum_required(VERSION 3.25)
# Installs the build in BUILD_DIR into PREFIX (emptied first) and fails when a header or file meant
# only for tests is in the installed tree, or when the tree lacks what it must ship.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}): ${errors}")
endif()

file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
# The check means something only for a real install.
foreach(expected "${INCLUDEDIR}/tonwell/TonwellObj.h" "${INCLUDEDIR}/tonwell/platform/windows.h")
  if(NOT expected IN_LIST installed)
    message(FATAL_ERROR "the installed tree lacks ${expected}; it holds: ${installed}")
  endif()
endforeach()

set(seams)
foreach(path IN LISTS installed)
  get_filename_component(name "${path}" NAME)
  if(name MATCHES "^(tonwell_testhooks\\.h|TraceClientInternals\\.h|TraceState\\.h|fake_.*)$"
     OR path MATCHES "(^|/)(testing|tests?)/" OR name MATCHES "_tests?$")
    list(APPEND seams "${path}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
if(seams)
  message(FATAL_ERROR "test seams in the installed tree: ${seams}")
endif()
message(STATUS "installed ${PREFIX}: no test seams among ${installed}")
