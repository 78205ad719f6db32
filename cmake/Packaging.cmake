# Installing and packaging: the two programs in /usr/bin, the desktop entry, the program icon
# in the hicolor theme, the man pages and a systemd user unit for trovanexd; `make package`
# turns them into a Debian package whose postinst lets both programs open port 81.
include(GNUInstallDirs)

install(TARGETS trovanex trovanexd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/linux/trovanex.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/hicolor/${size}x${size}/trovanex.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/linux/trovanexd.service
        DESTINATION lib/systemd/user)

# Man pages are kept compressed, without a time stamp in the archive.
set(MAN_PAGES)
foreach(page trovanex trovanexd)
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/resources/linux/${page}.1 > ${compressed}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/linux/${page}.1)
  list(APPEND MAN_PAGES ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${MAN_PAGES})
install(FILES ${MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trovanex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP proxy for one user that keeps what the user browses")
set(CPACK_PACKAGE_DESCRIPTION
    "Trovanex relays every request and answer unchanged and, when an address matches one of
the user's rules, also stores the content in the rule's folder, once. It comes as a
desktop program with a tray icon (trovanex) and without a desktop (trovanexd).")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Trovanex developers <trovanex@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps adds the libraries the binaries link; setcap comes from libcap2-bin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/resources/linux/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
