# The Debian package: scripts/package runs cpack on the build folder.
# Paths are relative to the package's root.
install(TARGETS velixcard RUNTIME DESTINATION usr/sbin)
install(TARGETS velixcard-devsim RUNTIME DESTINATION usr/bin)
install(TARGETS velixsqlite LIBRARY DESTINATION usr/lib/velixcard)
install(FILES db/schema/mysql.sql db/schema/sqlite.sql DESTINATION usr/share/velixcard/schema)
install(FILES README.md packaging/copyright DESTINATION usr/share/doc/velixcard)
install(FILES packaging/VELIXCard.service DESTINATION lib/systemd/system)
install(FILES packaging/sysusers.conf DESTINATION usr/lib/sysusers.d RENAME velixcard.conf)
install(FILES packaging/registry.reg DESTINATION etc/velixcard PERMISSIONS OWNER_READ OWNER_WRITE)
install(FILES packaging/lintian-overrides DESTINATION usr/share/lintian/overrides RENAME velixcard)

# A native package: its changelog is changelog.gz.
configure_file(packaging/changelog ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
                   COMMAND gzip -9nf -k ${CMAKE_BINARY_DIR}/package/changelog
                   DEPENDS ${CMAKE_BINARY_DIR}/package/changelog)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION usr/share/doc/velixcard)

# Manual pages, compressed as Debian keeps them.
foreach(page velixcard.8 velixcard-devsim.1)
    string(REGEX MATCH "[0-9]$" section ${page})
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/${page}.gz
                       COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/${page} > ${CMAKE_BINARY_DIR}/package/${page}.gz
                       DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${page})
    list(APPEND manual_pages ${CMAKE_BINARY_DIR}/package/${page}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/package/${page}.gz DESTINATION usr/share/man/man${section})
endforeach()
add_custom_target(package_manual_pages ALL DEPENDS ${manual_pages})
file(WRITE ${CMAKE_BINARY_DIR}/package/conffiles "/etc/velixcard/registry.reg\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velixcard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VELIXCard developers <developers@velixcard.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unattended access-control and parking controller")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "VELIXCard polls card readers, ticket spitters and barcode exit readers on\n"
       "serial lines, decides every presented card against a site database reached\n"
       "through ODBC, opens gates or shows the refusal, counts cars per lot and\n"
       "runs scheduled gate plans and daily resets, as a systemd service.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velixcard.example")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, odbc-mariadb | libsqliteodbc, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/conffiles ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
