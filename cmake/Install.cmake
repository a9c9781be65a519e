# What `cmake --install` puts under the prefix:
#   bin/shadowctl                                  the command-line tool
#   lib/libvovuplatform.so                         the platform library
#   include/vovuplatform/...                       its headers
#   lib/vovu/plugins/libbcm88490_a0_l3tables.so    the plug-in
#   lib/cmake/vovuplatform/                        the package configuration:
#       find_package(vovuplatform) gives the target vovu::vovuplatform and
#       vovuplatform_PLUGIN_DIR, the directory of the installed plug-ins.
# (lib is CMAKE_INSTALL_LIBDIR, bin CMAKE_INSTALL_BINDIR.) The installed
# programs and the plug-in find the platform library relative to themselves,
# so the tree works wherever it is installed or moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VOVU_PLATFORM_INCLUDE_INSTALL_DIR ${CMAKE_INSTALL_INCLUDEDIR}/vovuplatform)
set(VOVU_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/vovu/plugins)
set(VOVU_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vovuplatform)

# "$ORIGIN/<path to the library directory>" for something installed in `dir`.
function(vovu_rpath_to_libdir out_var dir)
  file(RELATIVE_PATH relative ${CMAKE_INSTALL_PREFIX}/${dir} ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
  set(${out_var} "$ORIGIN/${relative}" PARENT_SCOPE)
endfunction()

install(TARGETS vovuplatform EXPORT vovuplatformTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${VOVU_PLATFORM_INCLUDE_INSTALL_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/ DESTINATION ${VOVU_PLATFORM_INCLUDE_INSTALL_DIR})

vovu_rpath_to_libdir(plugin_rpath ${VOVU_PLUGIN_INSTALL_DIR})
set_target_properties(bcm88490_a0_l3tables PROPERTIES INSTALL_RPATH "${plugin_rpath}")
install(TARGETS bcm88490_a0_l3tables LIBRARY DESTINATION ${VOVU_PLUGIN_INSTALL_DIR})

vovu_rpath_to_libdir(program_rpath ${CMAKE_INSTALL_BINDIR})
set_target_properties(shadowctl PROPERTIES INSTALL_RPATH "${program_rpath}")
# shadowctl's default plug-in: the one in the plug-in directory when run from
# an installed tree (else the build tree's lib/ next to its bin/).
file(RELATIVE_PATH plugin_dir_from_program ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${VOVU_PLUGIN_INSTALL_DIR})
target_compile_definitions(shadowctl PRIVATE VOVU_PLUGIN_DIR_FROM_PROGRAM="${plugin_dir_from_program}")
install(TARGETS shadowctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT vovuplatformTargets NAMESPACE vovu:: DESTINATION ${VOVU_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vovuplatformConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vovuplatformConfig.cmake
  INSTALL_DESTINATION ${VOVU_CMAKE_INSTALL_DIR}
  PATH_VARS VOVU_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vovuplatformConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vovuplatformConfig.cmake ${PROJECT_BINARY_DIR}/vovuplatformConfigVersion.cmake
  DESTINATION ${VOVU_CMAKE_INSTALL_DIR})
