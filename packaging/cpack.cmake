# The Debian package and the tarball for image builders: one tree, rooted at /.
set(PAIRGATE_PACKAGE_CONTACT "pairgate developers <pairgate@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME pairgate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PAIRGATE_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bluetooth pairing agent of the gateway")
set(CPACK_PACKAGE_DESCRIPTION
    "pairgated is BlueZ's pairing agent on the gateway: it authorises network access over PAN, \
trusts devices that paired, opens a pairing window while a binary input is active, and pairs \
devices on the web UI's request (pairgate-pair). The service is installed disabled.")

# The unit, the init script and the manual pages live outside the prefix,
# so the tree is staged through DESTDIR with the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)

# The target's Debian architecture: the build machine's, or the cross target's.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)")
  set(deb_arch arm64)
elseif(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(deb_arch armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT deb_arch)
  set(deb_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(PAIRGATE_DEB_ARCH ${deb_arch} CACHE STRING "Debian architecture of the package")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PAIRGATE_DEB_ARCH})
# libdbus-1-3 and the C++ runtime, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bluez)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/conffiles ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# pairgate-0.1.0-armhf.tar.gz, to be unpacked at the root of an image.
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${PAIRGATE_DEB_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

include(CPack)
