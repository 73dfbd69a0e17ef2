# What `cmake --install` puts on the device, checked in a scratch root.
include(GNUInstallDirs)
add_test(NAME Install.ProgramUnitAndNginxSnippet
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_INSTALL_FULL_BINDIR}
                 ${CMAKE_INSTALL_FULL_SYSCONFDIR})
