# The Debian package of the service: `cpack` in a build folder makes it for that build's architecture (amd64 for
# a PC running the simulated device, armhf from the device's cross build); scripts/build-package makes both.

# Documentation Debian requires of every package: the copyright and the changelog entry of this version.
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright ${SERVICE_VERSION_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${SERVICE_PACKAGE})

set(UNIT ${SERVICE_PACKAGE}.service)
set(PACKAGE ${SERVICE_PACKAGE})
set(scripts)
foreach(file postinst prerm postrm conffiles copyright)
    configure_file(packaging/debian/${file} ${CMAKE_CURRENT_BINARY_DIR}/debian/${file} @ONLY)
    if(NOT file STREQUAL copyright)
        list(APPEND scripts ${CMAKE_CURRENT_BINARY_DIR}/debian/${file})
    endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${SERVICE_PACKAGE})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT ${SERVICE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SERVICE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "web interface back end of the lens and camera controller")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The service behind the controller's web interface: it answers the browser GUI
under /api/v1/ and the companion app under /voxapp/v1 as a FastCGI server on
port 9000 of the device, behind the device's nginx, from the device's
shared-memory state and its message broker.

The unit starts it once the broker and the shared-memory blocks exist; the
nginx snippet carries the locations to include in the device's site.")
# The libraries the program links, as dpkg-shlibdeps finds them; the maintainer scripts use init-system-helpers.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS nginx)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${scripts})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
# The version is the one the program was built with, read when the package is made.
set(CPACK_SERVICE_VERSION_FILE ${SERVICE_VERSION_DIR}/version.txt)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package-version.cmake)
include(CPack)
