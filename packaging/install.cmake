# Install rules and the Debian package. Included from the top-level CMakeLists.txt after
# the targets exist; only the program and its desktop integration are installed, never
# tests or benchmarks.
include(GNUInstallDirs)

set(morrel_packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(morrel_icons_dir ${PROJECT_SOURCE_DIR}/app/icons)
set(morrel_generated_dir ${PROJECT_BINARY_DIR}/packaging)
set(morrel_appstream_id org.morrel.morrelcom)

install(TARGETS morrelcom RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${morrel_packaging_dir}/morrelcom.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

foreach(size 16 32 48 64 128)
  install(FILES ${morrel_icons_dir}/morrelcom-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME morrelcom.png)
endforeach()
install(FILES ${morrel_icons_dir}/morrelcom.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

configure_file(${morrel_packaging_dir}/${morrel_appstream_id}.metainfo.xml
               ${morrel_generated_dir}/${morrel_appstream_id}.metainfo.xml @ONLY)
install(FILES ${morrel_generated_dir}/${morrel_appstream_id}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The page is compressed when configuring (configure_file reruns it whenever the source
# changes), so neither building nor installing needs a gzip program.
configure_file(${morrel_packaging_dir}/morrelcom.1 ${morrel_generated_dir}/morrelcom.1 @ONLY)
file(ARCHIVE_CREATE OUTPUT ${morrel_generated_dir}/morrelcom.1.gz
     PATHS ${morrel_generated_dir}/morrelcom.1
     FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
install(FILES ${morrel_generated_dir}/morrelcom.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian package: morrelcom_<version>-<revision>_<arch>.deb
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morrelcom)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Morrel COM Port Tool developers")
set(CPACK_PACKAGE_CONTACT "Morrel COM Port Tool developers <dev@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial port terminal with a single window")
set(CPACK_PACKAGE_DESCRIPTION
    "Morrel COM Port Tool ver 1.1 lists the serial ports that can be opened,
connects to one with the chosen baud rate, stop bits, parity, data bits
and RTS and DTR levels, and exchanges raw bytes with the device on the
line. Text is sent as typed, as one decimal byte, or key by key; what
arrives is shown as text, hexadecimal or decimal numbers in a history of
every connect, transmission and reception.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_NAME morrelcom)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its window-system plugins at run time, so dpkg-shlibdeps cannot see them, and
# Qt's own packages only recommend them: without these the window cannot open at all.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The narrow sans that keeps every caption inside its control; the window falls back
# to other condensed faces without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "hicolor-icon-theme, fonts-urw-base35")
include(CPack)
