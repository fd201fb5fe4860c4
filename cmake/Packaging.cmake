# What `cmake --install` puts where, and the Debian package CPack builds from
# it (scripts/package.sh). Programs in /usr/bin, the desktop entry and icon,
# a systemd template unit, the simulator's captures, and the docs.
include(GNUInstallDirs)

install(TARGETS corvane corvane-caster corvane-gnss-sim corvane-decode
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/corvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/corvane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# Debian 12 keeps packaged units under /lib.
install(FILES packaging/corvane@.service DESTINATION /lib/systemd/system)
install(FILES tests/data/rtcm3/testglo.rtcm3 DESTINATION ${CMAKE_INSTALL_DATADIR}/corvane/captures/rtcm3)
install(FILES tests/data/rtcm2/testglo.rtcm2 DESTINATION ${CMAKE_INSTALL_DATADIR}/corvane/captures/rtcm2)

set(CORVANE_CHANGELOG ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${CORVANE_CHANGELOG}
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${CORVANE_CHANGELOG}
                   DEPENDS packaging/changelog)
add_custom_target(corvane_changelog ALL DEPENDS ${CORVANE_CHANGELOG})
install(FILES README.md packaging/copyright ${CORVANE_CHANGELOG}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Corvane developers <corvane@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://corvane.example.org/)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "uplink of an RTK base station to an NTRIP caster")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Corvane turns a computer with a GNSS receiver on a serial port into the uplink\n"
       "of an RTK base station: it makes the receiver a base at its own position,\n"
       "sets it to output one correction format (CMR, CMR+, RTD, RTCM 2.3, 3.0,\n"
       "3.2) and relays the stream to an NTRIP caster, restarting it after a stall\n"
       "or a broken link. It runs with a small window or unattended as a systemd\n"
       "service. A receiver simulator and a local caster come with it.")
include(CPack)
