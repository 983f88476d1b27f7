include(CMakePackageConfigHelpers)

install(TARGETS cmdkit cmdkit_cpp EXPORT cmdkitTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cmdkit)
if(CMDKIT_BUILD_DEMO)
    install(TARGETS cmdkit-demo cmdkit-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES doc/cmdkit-demo.1 doc/cmdkit-run.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(cmdkit_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/cmdkit)
install(EXPORT cmdkitTargets NAMESPACE cmdkit:: DESTINATION ${cmdkit_cmake_dir})
configure_package_config_file(cmake/cmdkitConfig.cmake.in
    ${PROJECT_BINARY_DIR}/cmdkitConfig.cmake
    INSTALL_DESTINATION ${cmdkit_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmdkitConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/cmdkitConfig.cmake
    ${PROJECT_BINARY_DIR}/cmdkitConfigVersion.cmake
    DESTINATION ${cmdkit_cmake_dir})

if(BUILD_SHARED_LIBS)
    set(cmdkit_pc_cflags "-DCMDKIT_SHARED")
else()
    set(cmdkit_pc_cflags "")
endif()
# The system libraries the library's own code calls into: the threads of
# the POSIX half (part of the C library since glibc 2.34, named for older
# linkers), and kernel32 on Windows.
if(WIN32)
    set(cmdkit_pc_libs_private "-lkernel32")
else()
    set(cmdkit_pc_libs_private "-lpthread")
endif()
file(RELATIVE_PATH cmdkit_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/cmdkit.pc.in ${PROJECT_BINARY_DIR}/cmdkit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cmdkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
