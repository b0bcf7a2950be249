# SPDX-License-Identifier: MIT
# What `cmake --install` and `cpack -G DEB` ship: the tool in bin/, the
# launcher kit in lib/vornak/, and the CMake package in lib/cmake/vornak/.
# The directories are fixed rather than taken from GNUInstallDirs: the tool
# finds its kit as ../lib/vornak relative to itself, and Debian's multiarch
# libdir (lib/x86_64-linux-gnu) would break that lookup.
include(CMakePackageConfigHelpers)

set(VORNAK_PACKAGE_CONTACT "vornak maintainers <maintainers@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
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
# The installed README speaks of the installed tool, found on PATH, not of
# the build tree's build/bin/vornak.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
file(READ ${CMAKE_SOURCE_DIR}/README.md readme)
string(REPLACE "build/bin/vornak" "vornak" readme "${readme}")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package/README.md CONTENT "${readme}")
install(FILES ${CMAKE_BINARY_DIR}/package/README.md ${CMAKE_SOURCE_DIR}/docs/application-guide.md
              ${CMAKE_CURRENT_LIST_DIR}/package/copyright
        DESTINATION share/doc/vornak)

# The manual page, written from the tool's own --help texts at build time
# and compressed as Debian wants it (-n: no name or time in the header, so
# the same tool gives the same file).
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/vornak.1.gz
    COMMAND ${CMAKE_COMMAND} -DVORNAK=$<TARGET_FILE:vornak> -DVERSION=${PROJECT_VERSION}
            -DOUTPUT=${CMAKE_BINARY_DIR}/package/vornak.1 -P ${CMAKE_CURRENT_LIST_DIR}/manpage.cmake
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/package/vornak.1
    DEPENDS vornak ${CMAKE_CURRENT_LIST_DIR}/manpage.cmake
    COMMENT "Writing the manual page vornak.1"
    VERBATIM)
add_custom_target(vornak_manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/package/vornak.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/vornak.1.gz DESTINATION share/man/man1)

# A native package's changelog, one entry per version; its date is fixed so
# that the same sources give the same package.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package/changelog CONTENT
"vornak (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}: see /usr/share/doc/vornak/README.md.

 -- ${VORNAK_PACKAGE_CONTACT}  Thu, 10 Dec 2026 00:00:00 +0000
")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
    COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/package/changelog > ${CMAKE_BINARY_DIR}/package/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/package/changelog
    VERBATIM)
add_custom_target(vornak_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION share/doc/vornak)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/package/lintian-overrides DESTINATION share/lintian/overrides
        RENAME vornak)

# Debian package: `cpack -G DEB` in the build tree writes vornak_<version>_amd64.deb.
set(CPACK_PACKAGE_NAME vornak)
set(CPACK_PACKAGE_VENDOR "vornak developers")
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
# An application DLL is built with a Windows cross compiler; most users of
# the tool need one, though a DLL made elsewhere packs without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mingw-w64 | clang")
# Needed only for `vornak build --sign` and for inspect's signature check.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "osslsigncode")
set(CPACK_GENERATOR DEB)
include(CPack)
