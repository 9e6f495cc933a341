# Install rules and packaging: the programs, the engine and the support library (static
# libraries, headers, a CMake package with imported targets, pkg-config files), man pages, bash
# completions and the systemd examples; `cpack -G DEB` makes two Debian packages from them:
# velmoras-updater (programs) and libvelmoras-updater-dev (library files).
include(CMakePackageConfigHelpers)

set(VELMOR_PACKAGE VelmorasUpdater)
set(VELMOR_INCLUDE_SUBDIR velmoras-updater)
set(VELMOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${VELMOR_PACKAGE})

foreach(program updater updater-publish)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  endif()
endforeach()

# The libraries. Their headers include one another by bare name, so all go into one directory.
set_target_properties(libupdater PROPERTIES EXPORT_NAME engine)
install(TARGETS velmor libupdater EXPORT ${VELMOR_PACKAGE}Targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${VELMOR_INCLUDE_SUBDIR})
file(GLOB VELMOR_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/velmor/src/*.h
     ${PROJECT_SOURCE_DIR}/libupdater/*.h)
install(FILES ${VELMOR_PUBLIC_HEADERS}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${VELMOR_INCLUDE_SUBDIR} COMPONENT dev)

install(EXPORT ${VELMOR_PACKAGE}Targets NAMESPACE ${VELMOR_PACKAGE}::
        DESTINATION ${VELMOR_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/PackageConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/${VELMOR_PACKAGE}Config.cmake
                              INSTALL_DESTINATION ${VELMOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/${VELMOR_PACKAGE}ConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/${VELMOR_PACKAGE}Config.cmake
              ${CMAKE_BINARY_DIR}/${VELMOR_PACKAGE}ConfigVersion.cmake
        DESTINATION ${VELMOR_CMAKE_DIR} COMPONENT dev)

# pkg-config files; their prefix is found from where they lie, so an unpacked tree works too.
file(RELATIVE_PATH VELMOR_PC_TO_PREFIX
     /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
foreach(pc velmor updater-engine)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/contrib/bash-completion/updater
              ${PROJECT_SOURCE_DIR}/contrib/bash-completion/updater-publish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT programs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/systemd
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velmoras-updater/examples COMPONENT programs)

# Debian packages.
set(CPACK_PACKAGE_NAME velmoras-updater)
set(CPACK_PACKAGE_VENDOR "Velmoras")
set(CPACK_PACKAGE_CONTACT "Velmoras updater maintainers <updater@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME velmoras-updater)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
    "Command-line software updater\n updater keeps an installed product up to date from its vendor's site;\n updater-publish turns release trees into such sites.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelmoras-updater-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# Static libraries: what they link against must be there when a program is linked with them.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libssl-dev, zlib1g-dev, libtinyxml-dev, libzstd-dev, libdivsufsort-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Update engine and support library of the Velmoras updater\n Static libraries, headers, a CMake package (find_package(VelmorasUpdater))\n and pkg-config files (updater-engine, velmor).")
include(CPack)
