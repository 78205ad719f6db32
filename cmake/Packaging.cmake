# Installing and packaging: the two programs in /usr/bin, the desktop entry, the program icon
# in the hicolor theme, the man pages, /usr/share/doc/trovanex and a systemd user unit for
# trovanexd; `make package` turns them into a Debian package whose postinst lets both programs
# open port 81.
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

# Man pages are kept compressed, without a time stamp in the archive: the two programs in
# section 1, the settings file and the rules file in section 5.
set(MAN_PAGES)
foreach(page trovanex.1 trovanexd.1 trovanex.ini.5 trovanex-rules.5)
  string(REGEX MATCH "[0-9]$" section ${page})
  set(compressed ${CMAKE_BINARY_DIR}/man/man${section}/${page}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man/man${section}
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/resources/linux/${page} > ${compressed}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/linux/${page})
  list(APPEND MAN_PAGES ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${MAN_PAGES})

# /usr/share/doc/trovanex: the copyright file, the changelog and the README (compressed, as
# Debian wants larger files there), and an example rules file.
set(DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/trovanex)
set(DOC_FILES)
foreach(pair "resources/linux/changelog.Debian;changelog.Debian.gz" "README.md;README.md.gz")
  list(GET pair 0 source)
  list(GET pair 1 name)
  set(compressed ${CMAKE_BINARY_DIR}/doc/${name})
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/${source} > ${compressed}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source})
  list(APPEND DOC_FILES ${compressed})
endforeach()
add_custom_target(doc_files ALL DEPENDS ${DOC_FILES})
install(FILES ${DOC_FILES} ${PROJECT_SOURCE_DIR}/resources/linux/copyright DESTINATION ${DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/linux/example-Search.cfg
        DESTINATION ${DOC_DIR}/examples RENAME Search.cfg)

# What lintian reports and is so on purpose, each with the reason.
install(FILES ${PROJECT_SOURCE_DIR}/resources/linux/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME trovanex)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trovanex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision of this version's packaging; resources/linux/changelog.Debian names it.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP proxy for one user that keeps what the user browses")
# Lines of at most 79 characters, as Debian's tools show them on 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "Trovanex relays every request and answer unchanged and, when an address
matches one of the user's rules, also stores the content in the rule's folder,
once. It comes as a desktop program with a tray icon (trovanex) and without a
desktop (trovanexd).")
# The project has no mail address yet; ".invalid" says so in a form Debian's tools accept.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Trovanex developers <trovanex@trovanex.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps adds the libraries the binaries link; setcap comes from libcap2-bin, and
# certutil, which trusts the local CA in the browsers' databases, from libnss3-tools. The
# desktop's proxy switch runs gsettings where the desktop has it (libglib2.0-bin).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, libnss3-tools")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libglib2.0-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/resources/linux/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
