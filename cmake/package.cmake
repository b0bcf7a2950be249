# SPDX-License-Identifier: MIT
# What `cmake --install` and `cpack -G DEB` ship: the tool in bin/, the
# launcher kit in lib/vornak/, and the CMake package in lib/cmake/vornak/.
# The directories are fixed rather than taken from GNUInstallDirs: the tool
# finds its kit as ../lib/vornak relative to itself, and Debian's multiarch
# libdir (lib/x86_64-linux-gnu) would break that lookup.
include(CMakePackageConfigHelpers)

set(VORNAK_INSTALL_KIT_DIR lib/vornak)
set(VORNAK_INSTALL_CMAKE_DIR lib/cmake/vornak)

install(TARGETS vornak EXPORT vornakTargets RUNTIME DESTINATION bin)

# The kit is whatever the Windows side gathered into build/lib/vornak at
# build time: its list of archives is the launcher's business, not ours.
install(DIRECTORY ${CMAKE_BINARY_DIR}/lib/vornak/ DESTINATION ${VORNAK_INSTALL_KIT_DIR})

install(EXPORT vornakTargets NAMESPACE vornak:: DESTINATION ${VORNAK_INSTALL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/package/vornakConfig.cmake.in
    ${CMAKE_BINARY_DIR}/package/vornakConfig.cmake
    INSTALL_DESTINATION ${VORNAK_INSTALL_CMAKE_DIR})
# ARCH_INDEPENDENT: the package brings a host tool, so a project that
# cross-compiles for 32-bit Windows (or enables no language at all) must
# still accept it.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/vornakConfigVersion.cmake
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/package/vornakConfig.cmake
              ${CMAKE_BINARY_DIR}/package/vornakConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/package/VornakLauncher.cmake
              ${CMAKE_CURRENT_LIST_DIR}/package/vornak_build_step.cmake
        DESTINATION ${VORNAK_INSTALL_CMAKE_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/application-guide.md
        DESTINATION share/doc/vornak)

# Debian package: `cpack -G DEB` in the build tree writes vornak_<version>_amd64.deb.
set(CPACK_PACKAGE_NAME vornak)
set(CPACK_PACKAGE_VENDOR "vornak developers")
set(VORNAK_PACKAGE_CONTACT "vornak maintainers <maintainers@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${VORNAK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION
    "vornak turns a folder holding a Windows x64 application DLL (exporting
run_code) and its files into one windowed executable, which unpacks into a
fresh temporary directory, runs the application there and removes the
directory afterwards. The package holds the tool, the launcher pieces it
links, and a CMake package whose vornak_add_launcher() builds launchers in
projects that compile their DLL with the mingw-w64 cross compiler.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# The shared libraries the tool links (libzstd, libstdc++, libc) come from
# dpkg-shlibdeps; the linker is a program it runs, so it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lld")
# Needed only by `vornak build --sign`.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "osslsigncode")
set(CPACK_GENERATOR DEB)
include(CPack)
