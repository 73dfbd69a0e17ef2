# Read by cpack when it makes the package: the version of the program that goes into it.
file(STRINGS ${CPACK_SERVICE_VERSION_FILE} CPACK_PACKAGE_VERSION LIMIT_COUNT 1)
set(CPACK_DEBIAN_PACKAGE_VERSION ${CPACK_PACKAGE_VERSION})
