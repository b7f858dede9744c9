# Debian packages, made by "cpack -G DEB" in the build directory: one for the
# dialogs (with their desktop entries and icons) and one for the command-line
# programs and their manual pages. Dependencies come from the binaries
# (dpkg-shlibdeps), so the command-line package needs no Qt.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dovrin-kestil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Multicast test sender and receiver")
set(CPACK_PACKAGE_CONTACT "Dovrin and Kestil maintainers <root@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL dialogs cli)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DIALOGS_PACKAGE_NAME dovrin-kestil)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME dovrin-kestil-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION net)
set(CPACK_COMPONENT_DIALOGS_DESCRIPTION
    "Multicast test sender and receiver (dialogs)\n Dovrin streams numbered test datagrams to an IP multicast group at a paced\n speed; Kestil joins the group and counts datagrams, bytes, speed and losses.")
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "Multicast test sender and receiver (command line)\n dovrin-cli and kestil-cli: the same sender and receiver without a display,\n for servers and scripts, with JSON Lines output.")
include(CPack)
