# Module resources: any module target can carry resources (docs/resources.md).
#
# tonwell_add_resources(<target>
#                       TYPE <type> NAME <name> [LANG <lang>] FILE <file>
#                       [TYPE ... FILE ...]...
#                       [DEPENDS <target-or-file>...])
#   Adds resources to <target>. TYPE and NAME are numbers ("16", "#16") or names
#   ("TYPELIB"); LANG is a language number (default 0, language neutral); a
#   relative FILE is taken from the calling folder. A FILE made by a custom command
#   in another folder needs that folder's custom target in DEPENDS. Any folder may
#   call this any number of times for a target: at the end of configuration the
#   target's resources are packed once, by tonwell_respack, into
#   ${CMAKE_BINARY_DIR}/resources/<target>.rsrc and a generated C source that puts
#   the blob in the ".tonwell_rsrc" section, linked into the target through the
#   object library <target>_resources. Changing an input repacks and relinks.
#
# tonwell_add_version_resource(<target> FILE_VERSION <a.b.c.d> [PRODUCT_VERSION <a.b.c.d>]
#                              [FILE_TYPE DLL|APP] [LANG <lang>] [CODEPAGE <cp>]
#                              STRINGS <Key=Value>...)
#   Adds the version resource (RT_VERSION 1 in LANG, default 0x0409) with the
#   string table of LANG and CODEPAGE (default 1200, UTF-16) holding STRINGS.
#   "Key=" is an empty value. Values must not contain ';'.

function(tonwell_add_resources target)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "tonwell_add_resources: no target '${target}'")
  endif()
  set(type "")
  set(name "")
  set(lang 0)
  set(expect "")
  set(entries)
  set(inputs)
  set(depends)
  foreach(arg IN LISTS ARGN)
    if(expect STREQUAL "" OR expect STREQUAL "DEPENDS")
      if(arg MATCHES "^(TYPE|NAME|LANG|FILE|DEPENDS)$")
        set(expect ${arg})
      elseif(expect STREQUAL "DEPENDS")
        list(APPEND depends ${arg})
      else()
        message(FATAL_ERROR "tonwell_add_resources(${target}): unexpected '${arg}'")
      endif()
      continue()
    endif()
    if(expect STREQUAL "TYPE")
      set(type "${arg}")
    elseif(expect STREQUAL "NAME")
      set(name "${arg}")
    elseif(expect STREQUAL "LANG")
      set(lang "${arg}")
    elseif(expect STREQUAL "FILE")
      if(type STREQUAL "" OR name STREQUAL "")
        message(FATAL_ERROR "tonwell_add_resources(${target}): FILE ${arg} without TYPE and NAME")
      endif()
      get_filename_component(file "${arg}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
      list(APPEND entries --resource "${type}" "${name}" "${lang}" "${file}")
      list(APPEND inputs "${file}")
      set(type "")
      set(name "")
      set(lang 0)
    endif()
    set(expect "")
  endforeach()
  if(NOT expect STREQUAL "" AND NOT expect STREQUAL "DEPENDS")
    message(FATAL_ERROR "tonwell_add_resources(${target}): ${expect} needs a value")
  endif()
  if(NOT type STREQUAL "" OR NOT name STREQUAL "")
    message(FATAL_ERROR "tonwell_add_resources(${target}): TYPE ${type} NAME ${name} without FILE")
  endif()
  _tonwell_schedule_resources(${target} "${entries}" "${inputs}" "${depends}")
endfunction()

function(tonwell_add_version_resource target)
  cmake_parse_arguments(V "" "FILE_VERSION;PRODUCT_VERSION;FILE_TYPE;LANG;CODEPAGE" "STRINGS" ${ARGN})
  if(NOT V_FILE_VERSION)
    message(FATAL_ERROR "tonwell_add_version_resource(${target}): FILE_VERSION is required")
  endif()
  if(NOT V_PRODUCT_VERSION)
    set(V_PRODUCT_VERSION ${V_FILE_VERSION})
  endif()
  if(NOT V_LANG)
    set(V_LANG 0x0409)
  endif()
  if(NOT V_CODEPAGE)
    set(V_CODEPAGE 1200)
  endif()
  if(NOT V_FILE_TYPE OR V_FILE_TYPE STREQUAL "DLL")
    set(file_type 2)
  elseif(V_FILE_TYPE STREQUAL "APP")
    set(file_type 1)
  else()
    message(FATAL_ERROR "tonwell_add_version_resource(${target}): FILE_TYPE is DLL or APP")
  endif()
  set(spec "# The version resource of ${target}, written by tonwell_add_version_resource.\n")
  string(APPEND spec "file_version ${V_FILE_VERSION}\nproduct_version ${V_PRODUCT_VERSION}\n")
  string(APPEND spec "file_type ${file_type}\ntranslation ${V_LANG} ${V_CODEPAGE}\n")
  foreach(entry IN LISTS V_STRINGS)
    string(FIND "${entry}" "=" eq)
    if(eq LESS 1)
      message(FATAL_ERROR "tonwell_add_version_resource(${target}): '${entry}' is not Key=Value")
    endif()
    string(SUBSTRING "${entry}" 0 ${eq} key)
    math(EXPR after "${eq} + 1")
    string(SUBSTRING "${entry}" ${after} -1 value)
    if(value STREQUAL "")
      string(APPEND spec "string ${key}\n")
    else()
      string(APPEND spec "string ${key} ${value}\n")
    endif()
  endforeach()
  # Rewritten only when it changes, so an unchanged version never repacks.
  set(spec_file ${CMAKE_BINARY_DIR}/resources/${target}.version)
  set(old_spec "")
  if(EXISTS ${spec_file})
    file(READ ${spec_file} old_spec)
  endif()
  if(NOT old_spec STREQUAL spec)
    file(WRITE ${spec_file} "${spec}")
  endif()
  _tonwell_schedule_resources(${target} "--version;1;${V_LANG};${spec_file}" "${spec_file}" "")
endfunction()

function(_tonwell_schedule_resources target entries inputs depends)
  set_property(TARGET ${target} APPEND PROPERTY TONWELL_RESOURCE_ARGS ${entries})
  set_property(TARGET ${target} APPEND PROPERTY TONWELL_RESOURCE_INPUTS ${inputs})
  set_property(TARGET ${target} APPEND PROPERTY TONWELL_RESOURCE_DEPENDS ${depends})
  get_property(scheduled TARGET ${target} PROPERTY TONWELL_RESOURCES_SCHEDULED)
  if(NOT scheduled)
    set_property(TARGET ${target} PROPERTY TONWELL_RESOURCES_SCHEDULED TRUE)
    # Packed once at the end of the top folder, when every folder has added its part.
    cmake_language(EVAL CODE
      "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL _tonwell_pack_resources [[${target}]])")
  endif()
endfunction()

function(_tonwell_pack_resources target)
  get_property(args TARGET ${target} PROPERTY TONWELL_RESOURCE_ARGS)
  get_property(inputs TARGET ${target} PROPERTY TONWELL_RESOURCE_INPUTS)
  get_property(depends TARGET ${target} PROPERTY TONWELL_RESOURCE_DEPENDS)
  set(blob ${CMAKE_BINARY_DIR}/resources/${target}.rsrc)
  set(source ${CMAKE_BINARY_DIR}/resources/${target}_rsrc.c)
  add_custom_command(OUTPUT ${blob} ${source}
    COMMAND tonwell_respack --blob ${blob} --source ${source} ${args}
    DEPENDS tonwell_respack ${inputs} ${depends}
    COMMENT "Packing the resources of ${target}"
    VERBATIM)
  add_library(${target}_resources OBJECT ${source})
  target_link_libraries(${target} PRIVATE ${target}_resources)
  set_property(TARGET ${target} PROPERTY TONWELL_RESOURCE_BLOB ${blob})
endfunction()
