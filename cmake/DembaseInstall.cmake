# cmake --install: the libraries, the headers, the tool, a pkg-config file and a CMake
# package (find_package(dembase) gives dembase::dembase and dembase::rasterdb).
include(CMakePackageConfigHelpers)

install(TARGETS dembase rasterdb demvat EXPORT dembaseTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/dembase/dembase.h include/dembase/rasterdb.h vat/demvat.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dembase)
if(TARGET dembase_tool)
  install(TARGETS dembase_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT dembaseTargets NAMESPACE dembase:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dembase)
configure_package_config_file(cmake/dembaseConfig.cmake.in ${PROJECT_BINARY_DIR}/dembaseConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dembase)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dembaseConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dembaseConfig.cmake ${PROJECT_BINARY_DIR}/dembaseConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dembase)

configure_file(cmake/dembase.pc.in ${PROJECT_BINARY_DIR}/dembase.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dembase.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
