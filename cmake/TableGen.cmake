# vovu_generate_tables(<out-var> OUTPUT_DIR <dir> DESCRIPTION_DIR <dir> [NO_CATALOGUE])
#
# Finds every table description (<Table>.toml) in DESCRIPTION_DIR, runs the
# table generator over them and sets <out-var> to the generated sources: the
# catalogue (unless NO_CATALOGUE) and then one unit per table, in the order of
# the descriptions' `order` values. That is the order the units are linked in,
# and so the order their static initialisers run in. The generator rewrites
# only files whose content changes.
#
# A description added or removed is found when the build starts; since the
# order is read from the descriptions while configuring, editing one
# configures the build again.
function(vovu_generate_tables out_var)
  cmake_parse_arguments(ARG "NO_CATALOGUE" "OUTPUT_DIR;DESCRIPTION_DIR" "" ${ARGN})
  set(generator_dir ${PROJECT_SOURCE_DIR}/src/tables/generator)
  set(generator ${Python3_EXECUTABLE} ${generator_dir}/generate.py)
  file(GLOB generator_sources CONFIGURE_DEPENDS ${generator_dir}/*.py)
  file(GLOB descriptions CONFIGURE_DEPENDS ${ARG_DESCRIPTION_DIR}/*.toml)
  if(NOT descriptions)
    message(FATAL_ERROR "no table description (*.toml) in ${ARG_DESCRIPTION_DIR}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${descriptions} ${generator_sources})

  execute_process(
    COMMAND ${generator} --print-order ${descriptions}
    OUTPUT_VARIABLE ordered
    ERROR_VARIABLE error
    RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "table descriptions in ${ARG_DESCRIPTION_DIR}:\n${error}")
  endif()
  string(REPLACE "\n" ";" ordered "${ordered}")

  set(outputs)
  set(catalogue_option)
  if(ARG_NO_CATALOGUE)
    set(catalogue_option --no-catalogue)
  else()
    list(APPEND outputs ${ARG_OUTPUT_DIR}/Catalogue.cpp ${ARG_OUTPUT_DIR}/CatalogueTables.h)
  endif()
  foreach(description IN LISTS ordered)
    get_filename_component(table ${description} NAME_WE)
    list(APPEND outputs ${ARG_OUTPUT_DIR}/${table}.h ${ARG_OUTPUT_DIR}/${table}.cpp)
  endforeach()
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND ${generator} --out ${ARG_OUTPUT_DIR} --source-root ${PROJECT_SOURCE_DIR} ${catalogue_option} ${ordered}
    DEPENDS ${ordered} ${generator_sources}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "Generating the table classes from ${ARG_DESCRIPTION_DIR}"
    VERBATIM)
  set(${out_var} ${outputs} PARENT_SCOPE)
endfunction()
