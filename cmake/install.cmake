# Install rules of the library: libkxlib with its SONAME, the public headers, a pkg-config
# file and a CMake package (imported target kxlib::kxlib). Every installed path is relative
# to the prefix, so an installed tree can be moved as a whole.
include(CMakePackageConfigHelpers)

set(KX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kxlib)
set(KX_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS kxlib EXPORT kxlibTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kx DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development FILES_MATCHING PATTERN "*.h")

# CMake package.
install(EXPORT kxlibTargets NAMESPACE kxlib:: FILE kxlibTargets.cmake DESTINATION ${KX_INSTALL_CMAKEDIR}
        COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kxlibConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/kxlibConfig.cmake
                              INSTALL_DESTINATION ${KX_INSTALL_CMAKEDIR} PATH_VARS KX_INSTALL_PLUGINDIR)
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kxlibConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kxlibConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kxlibConfigVersion.cmake
        DESTINATION ${KX_INSTALL_CMAKEDIR} COMPONENT development)

# pkg-config file; the prefix is found from the file's own folder.
file(RELATIVE_PATH KX_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${KX_INSTALL_PKGCONFIGDIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KX_PC_TO_PREFIX "${KX_PC_TO_PREFIX}")
set(KX_PC_DL "")
foreach(l ${CMAKE_DL_LIBS})
  string(APPEND KX_PC_DL " -l${l}")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kxlib.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kxlib.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kxlib.pc DESTINATION ${KX_INSTALL_PKGCONFIGDIR} COMPONENT development)
