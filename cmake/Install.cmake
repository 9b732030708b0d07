# Where things go on install, and the .deb made from the same rules.
include(GNUInstallDirs)

set(CORVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

install(TARGETS corvane-agent corvane-verify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/com.corvane.Agent.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES src/app/icons/com.corvane.Agent.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN LISTS CORVANE_ICON_SIZES)
  install(FILES ${CORVANE_ICON_DIR}/${size}x${size}/com.corvane.Agent.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES README.md data/copyright DESTINATION ${CORVANE_DOC_DIR})
install(FILES web/corvane-verify.js DESTINATION ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME})

# Debian wants the changelog compressed with maximum compression and no timestamp.
set(CORVANE_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${CORVANE_CHANGELOG_GZ}
  COMMAND gzip -n -9 -c ${CMAKE_SOURCE_DIR}/data/changelog > ${CORVANE_CHANGELOG_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/data/changelog
  VERBATIM)
add_custom_target(corvane-changelog ALL DEPENDS ${CORVANE_CHANGELOG_GZ})
install(FILES ${CORVANE_CHANGELOG_GZ} DESTINATION ${CORVANE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane <support@corvane.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "signed network status of this machine for web pages")
set(CPACK_PACKAGE_DESCRIPTION
  "A small tray agent that lets a web page ask this machine for a signed
statement of its network situation: the time, a stable device ID, the joined
Wi-Fi network, the visible Wi-Fi networks and whether a VPN tunnel is up. It
answers on 127.0.0.1:12180 only, signs every report with an ECDSA P-256 key
made once and kept, and starts at every login. corvane-verify checks a report.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "network-manager")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
