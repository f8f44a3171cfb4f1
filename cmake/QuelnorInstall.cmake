include(CMakePackageConfigHelpers)

install(TARGETS QuelnorBase QuelnorHal QuelnorDriver
  EXPORT QuelnorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(_lib QuelnorBase QuelnorHal QuelnorDriver)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/${_lib}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()

install(EXPORT QuelnorTargets
  NAMESPACE Quelnor::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quelnor)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/QuelnorConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QuelnorConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quelnor)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuelnorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QuelnorConfig.cmake ${CMAKE_BINARY_DIR}/QuelnorConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quelnor)
