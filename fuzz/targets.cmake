# The fuzz targets: name, sources and the libraries each needs. Shared by fuzz/ (the
# libFuzzer executables, TONWELL_FUZZ=ON) and tests/fuzz (the regression replay).
set(TONWELL_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TONWELL_FUZZ_TARGETS imageio reg_file script typelib midl engine_diff trace_format rsrc)

set(TONWELL_FUZZ_imageio_SOURCES ${TONWELL_FUZZ_DIR}/targets/imageio.cpp)
set(TONWELL_FUZZ_imageio_LIBS tonwell_imageio)
set(TONWELL_FUZZ_reg_file_SOURCES ${TONWELL_FUZZ_DIR}/targets/reg_file.cpp
    ${PROJECT_SOURCE_DIR}/tools/reg/reg_file.cpp ${PROJECT_SOURCE_DIR}/tools/reg/reg_common.cpp
    ${PROJECT_SOURCE_DIR}/tools/common/Text.cpp ${PROJECT_SOURCE_DIR}/tools/common/ErrorText.cpp)
set(TONWELL_FUZZ_reg_file_LIBS tonwell_imageio tonwellplatform)
set(TONWELL_FUZZ_script_SOURCES ${TONWELL_FUZZ_DIR}/targets/script.cpp)
set(TONWELL_FUZZ_script_LIBS tonwell_registration)
set(TONWELL_FUZZ_typelib_SOURCES ${TONWELL_FUZZ_DIR}/targets/typelib.cpp)
set(TONWELL_FUZZ_typelib_LIBS tonwell_typelib)
set(TONWELL_FUZZ_midl_SOURCES ${TONWELL_FUZZ_DIR}/targets/midl.cpp
    ${PROJECT_SOURCE_DIR}/tools/typelib/IdlPrinter.cpp ${PROJECT_SOURCE_DIR}/tools/common/Text.cpp)
set(TONWELL_FUZZ_midl_LIBS tonwell_midl_core tonwell_typelib tonwellplatform)
set(TONWELL_FUZZ_engine_diff_SOURCES ${TONWELL_FUZZ_DIR}/targets/engine_diff.cpp)
set(TONWELL_FUZZ_engine_diff_LIBS tonwell_engine)
set(TONWELL_FUZZ_trace_format_SOURCES ${TONWELL_FUZZ_DIR}/targets/trace_format.cpp)
set(TONWELL_FUZZ_trace_format_LIBS tonwell_trace)
set(TONWELL_FUZZ_trace_format_INCLUDES ${PROJECT_SOURCE_DIR}/trace)

# The module resource reader, on its own sources so that the target needs no loaded module.
set(TONWELL_FUZZ_rsrc_SOURCES ${TONWELL_FUZZ_DIR}/targets/rsrc.cpp
    ${PROJECT_SOURCE_DIR}/platform/src/module/elf_section.cpp
    ${PROJECT_SOURCE_DIR}/platform/src/module/resource_table.cpp
    ${PROJECT_SOURCE_DIR}/platform/src/module/version_block.cpp)
set(TONWELL_FUZZ_rsrc_LIBS tonwellplatform)
set(TONWELL_FUZZ_rsrc_INCLUDES ${PROJECT_SOURCE_DIR}/platform/src)

set(TONWELL_FUZZ_INCLUDES ${TONWELL_FUZZ_DIR}/targets ${PROJECT_SOURCE_DIR}/tools)
