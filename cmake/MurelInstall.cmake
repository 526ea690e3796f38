# Installs the library, its public headers, a CMake package (find_package(MurelEngine) gives
# MurelEngine::MurelEngine) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Must match the INSTALL_INTERFACE include directory of the MurelEngine target.
set(MUREL_INSTALL_INCLUDEDIR include/MurelEngine)
set(MUREL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/MurelEngine)
set(MUREL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Headers that are not installed: the vector wrapper and its math kernels pull in NEON or SIMDe,
# which a consumer must not need, and the model writer is not part of the library. No installed
# header may include one of these.
set(MUREL_PRIVATE_HEADERS VectorOps.h VectorMath.h ModelWriter.h)

install(TARGETS MurelEngine
  EXPORT MurelEngineTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)

set(murelHeaderExcludes)
foreach(header IN LISTS MUREL_PRIVATE_HEADERS)
  list(APPEND murelHeaderExcludes PATTERN ${header} EXCLUDE)
endforeach()
foreach(subsystem DspCore Format Neural Processor Interface Toolbox)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/engine/${subsystem}
    DESTINATION ${MUREL_INSTALL_INCLUDEDIR}
    COMPONENT Development
    FILES_MATCHING PATTERN "*.h" ${murelHeaderExcludes})
endforeach()

install(EXPORT MurelEngineTargets
  NAMESPACE MurelEngine::
  DESTINATION ${MUREL_INSTALL_CMAKEDIR}
  COMPONENT Development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MurelEngineConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MurelEngineConfig.cmake
  INSTALL_DESTINATION ${MUREL_INSTALL_CMAKEDIR})
# The SONAME carries the major version, so only the same major version is compatible.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MurelEngineConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/MurelEngineConfig.cmake
  ${PROJECT_BINARY_DIR}/MurelEngineConfigVersion.cmake
  DESTINATION ${MUREL_INSTALL_CMAKEDIR}
  COMPONENT Development)

# The prefix can still change at install time (cmake --install --prefix), so the pkg-config file
# is written then, with the prefix actually used.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(murelPcLibdir "${CMAKE_INSTALL_LIBDIR}")
else()
  set(murelPcLibdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
install(CODE "
  set(MUREL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(MUREL_PC_LIBDIR [[${murelPcLibdir}]])
  set(MUREL_PC_INCLUDEDIR [[\${prefix}/${MUREL_INSTALL_INCLUDEDIR}]])
  set(PROJECT_VERSION [[${PROJECT_VERSION}]])
  set(PROJECT_DESCRIPTION [[${PROJECT_DESCRIPTION}]])
  configure_file([[${CMAKE_CURRENT_LIST_DIR}/MurelEngine.pc.in]]
    [[${PROJECT_BINARY_DIR}/MurelEngine.pc]] @ONLY)
  " COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/MurelEngine.pc
  DESTINATION ${MUREL_INSTALL_PKGCONFIGDIR}
  COMPONENT Development)
