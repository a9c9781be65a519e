# vovu_generate_tables(<out-var> OUTPUT_DIR <dir> DESCRIPTIONS <toml>...)
#
# Runs the table generator over the descriptions (in the given order, which is
# the order the tables' units initialise) and sets <out-var> to the generated
# sources. The generator rewrites only files whose content changes.
function(vovu_generate_tables out_var)
  cmake_parse_arguments(ARG "" "OUTPUT_DIR" "DESCRIPTIONS" ${ARGN})
  set(generator_dir ${PROJECT_SOURCE_DIR}/src/tables/generator)
  file(GLOB generator_sources CONFIGURE_DEPENDS ${generator_dir}/*.py)
  set(outputs ${ARG_OUTPUT_DIR}/Catalogue.cpp)
  foreach(description IN LISTS ARG_DESCRIPTIONS)
    get_filename_component(table ${description} NAME_WE)
    list(APPEND outputs ${ARG_OUTPUT_DIR}/${table}.h ${ARG_OUTPUT_DIR}/${table}.cpp)
  endforeach()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${Python3_EXECUTABLE} ${generator_dir}/generate.py
            --out ${ARG_OUTPUT_DIR} --source-root ${PROJECT_SOURCE_DIR} ${ARG_DESCRIPTIONS}
    DEPENDS ${ARG_DESCRIPTIONS} ${generator_sources}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Generating the table classes from ${CMAKE_CURRENT_SOURCE_DIR}"
    VERBATIM)
  set(${out_var} ${outputs} PARENT_SCOPE)
endfunction()
