# The layers of src/ as build targets. Each layer's headers are reached only
# through an include root of its own (build/layers/<target>/ holding links to
# the layer's folders), so a unit sees the layers its target links and none
# above them: an include that runs up a layer does not resolve, and the build
# fails. From the bottom:
#   vovuplatform     the host platform (platform/)
#   ploom_core       PloomCore: shared words, slot and bucket files, hash maps
#   ploom            Ploom: writer, reader, local shadow, map, validator
#   zev_ploom        ZevPloom: a collection as entity storage
#   asic             Asic: assertions and exception types
#   table_values     tables/values: the value types of table entries
#   vovu_asic_utils  VovuAsicUtils: the generic table drivers and the catalogue
#   bcm88490_a0_l3tables  the tables and their default contents (the plug-in)

# vovu_layer_root(<target> <scope> <folder>...): gives <target> the include
# root that holds src/<folder> for each folder.
function(vovu_layer_root target scope)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>)
endfunction()

# vovu_header_check(<target> <folder>...): compiles every header of the
# folders alone, with nothing but <target>'s usage requirements, so that a
# header that includes a layer above its own, or that misses an include of
# its own, fails the build.
function(vovu_header_check target)
  if(NOT VOVU_BUILD_TESTS)
    return()
  endif()
  set(units)
  foreach(folder IN LISTS ARGN)
    file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/src/${folder}/*.h)
    foreach(header IN LISTS headers)
      string(MAKE_C_IDENTIFIER ${header} id)
      set(unit ${CMAKE_BINARY_DIR}/header_check/${target}/${id}.cpp)
      file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${header}\"\n")
      list(APPEND units ${unit})
    endforeach()
  endforeach()
  add_library(${target}_header_check OBJECT ${units})
  target_link_libraries(${target}_header_check PRIVATE ${target})
endfunction()
