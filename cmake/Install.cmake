# Where things go on install, and the .deb made from the same rules.
include(GNUInstallDirs)

set(CORVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME})

install(TARGETS corvane-agent corvane-signer corvane-verify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/com.corvane.Agent.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Launchers activate the running agent (or start it) through the session bus,
# which wants the program's full path: known only at install time (--prefix).
# The system signer's service names its program the same way.
install(CODE "set(CORVANE_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(${CMAKE_SOURCE_DIR}/data/com.corvane.Agent.service.in ${CMAKE_BINARY_DIR}/com.corvane.Agent.service @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/data/systemd/corvane-signer.service.in ${CMAKE_BINARY_DIR}/corvane-signer.service @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/com.corvane.Agent.service DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/services)
install(FILES ${CMAKE_BINARY_DIR}/corvane-signer.service data/systemd/corvane-signer.socket
  DESTINATION lib/systemd/system)
install(FILES src/app/icons/com.corvane.Agent.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN LISTS CORVANE_ICON_SIZES)
  install(FILES ${CORVANE_ICON_DIR}/${size}x${size}/com.corvane.Agent.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES README.md data/copyright DESTINATION ${CORVANE_DOC_DIR})
# Beside the README, so that its links work.
install(FILES docs/administrators.md docs/portals.md docs/development.md DESTINATION ${CORVANE_DOC_DIR}/docs)
# Not a rule that acts: an administrator copies it to /etc/udev/rules.d/ to let
# the person at the seat use the TPM (see docs/administrators.md).
install(FILES data/70-tpm-uaccess.rules DESTINATION ${CORVANE_DOC_DIR}/examples)
install(FILES web/corvane-verify.js DESTINATION ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME})

# Debian wants the changelog and manual pages compressed with maximum
# compression and no timestamp.
set(CORVANE_GZIPPED)
foreach(source_and_target IN ITEMS
    "data/changelog|changelog.Debian.gz|${CORVANE_DOC_DIR}"
    "data/man/corvane-agent.1|corvane-agent.1.gz|${CMAKE_INSTALL_MANDIR}/man1"
    "data/man/corvane-verify.1|corvane-verify.1.gz|${CMAKE_INSTALL_MANDIR}/man1"
    "data/man/corvane-signer.8|corvane-signer.8.gz|${CMAKE_INSTALL_MANDIR}/man8")
  string(REPLACE "|" ";" parts "${source_and_target}")
  list(GET parts 0 source)
  list(GET parts 1 target)
  list(GET parts 2 destination)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${target}
    COMMAND gzip -n -9 -c ${CMAKE_SOURCE_DIR}/${source} > ${CMAKE_BINARY_DIR}/${target}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source}
    VERBATIM)
  list(APPEND CORVANE_GZIPPED ${CMAKE_BINARY_DIR}/${target})
  install(FILES ${CMAKE_BINARY_DIR}/${target} DESTINATION ${destination})
endforeach()
add_custom_target(corvane-gzipped ALL DEPENDS ${CORVANE_GZIPPED})

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
made once and kept, and starts at every login. corvane-verify checks a report.
The system signer, corvane-signer, holds the device key under an account of
its own and gathers the facts itself, so that no program of a person can sign
a report with false facts; the agent passes its answers on.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Added to what dpkg-shlibdeps finds: it cannot see the SVG image and icon
# plugins Qt loads at run time to draw the tray icon. The system signer's
# service joins the tss group, which tpm-udev makes along with its rule for
# /dev/tpmrm0; the maintainer scripts enable its socket with
# Debian's helpers (init-system-helpers, which is essential).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, tpm-udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_SOURCE_DIR}/data/deb/postinst;${CMAKE_SOURCE_DIR}/data/deb/prerm;${CMAKE_SOURCE_DIR}/data/deb/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Wi-Fi facts come from NetworkManager; Qt needs its Wayland plugin on Wayland;
# a new device key goes into the TPM through OpenSSL's tpm2 provider.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "network-manager, qt6-wayland, tpm2-openssl")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
