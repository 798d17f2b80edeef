include(CMakePackageConfigHelpers)

set_target_properties(phaze_shared PROPERTIES EXPORT_NAME phaze)
set_target_properties(phaze PROPERTIES EXPORT_NAME phaze_static)
install(TARGETS phaze_shared EXPORT phazeTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS phaze EXPORT phazeStaticTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
install(FILES lib/include/phaze/phaze.h ${PROJECT_BINARY_DIR}/generated/phaze/phaze_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/phaze COMPONENT library)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/phaze)
install(EXPORT phazeTargets NAMESPACE phaze:: DESTINATION ${config_dir} COMPONENT library)
install(EXPORT phazeStaticTargets NAMESPACE phaze:: DESTINATION ${config_dir} COMPONENT library)
set(PHAZE_WITH_CUDA_ENGINE OFF)
if(CMAKE_CUDA_COMPILER)
  set(PHAZE_WITH_CUDA_ENGINE ON)
endif()
configure_package_config_file(cmake/phazeConfig.cmake.in
  ${PROJECT_BINARY_DIR}/phazeConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/phazeConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/phazeConfig.cmake ${PROJECT_BINARY_DIR}/phazeConfigVersion.cmake
        DESTINATION ${config_dir} COMPONENT library)

configure_file(cmake/phaze.pc.in ${PROJECT_BINARY_DIR}/phaze.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/phaze.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT library)

install(TARGETS phaze-command fringegen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT programs)
