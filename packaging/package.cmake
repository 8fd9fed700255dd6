# The Debian package (cpack -G DEB, see scripts/package.sh). The version is
# the project's; runtime dependencies come from the binaries
# (dpkg-shlibdeps); the maintainer scripts create the korb user and the
# scheduler's folders and leave the service stopped and disabled until the
# operator has configured it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KORB_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KORB operators <korb-operators@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "probe scheduler of the KORB infrastructure management suite")
set(CPACK_PACKAGE_DESCRIPTION
    "Headless daemon that turns schedules, UDP signals and timer events into
job rows in the suite's MariaDB database, with its supervisor (a systemd
service) and the signal tool.")
# Installed with DESTDIR and the prefix /usr, whatever prefix the build
# was configured with, so that install_settings.cmake picks the package's
# layout.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mariadb-server, mariadb-client")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/conffiles;${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/prerm;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
include(CPack)
