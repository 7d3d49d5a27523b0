# What `cmake --install` puts where, and the Debian package made from it
# (`cpack -G DEB` in the build tree). Included last, so that every program
# target exists by now.

include(GNUInstallDirs)

set(MARLINAX_DATA ${PROJECT_SOURCE_DIR}/data)
set(MARLINAX_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/marlinax)
set(MARLINAX_APP_ID org.marlinax.Marlinax)

# ---- programs --------------------------------------------------------------

install(TARGETS marlinax-server marlinax-peer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The desktop application, its menu entry and its software-centre listing come
# with the application target; without it the package carries the service alone.
if(TARGET marlinax)
  install(TARGETS marlinax RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${MARLINAX_DATA}/desktop/${MARLINAX_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES ${MARLINAX_DATA}/metainfo/${MARLINAX_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
endif()

# ---- documentation ---------------------------------------------------------

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${MARLINAX_DOCDIR})
install(FILES ${MARLINAX_DATA}/help/index.html DESTINATION ${MARLINAX_DOCDIR}/help)

# Manual pages, compressed as Debian installs them.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_pages)
foreach(page marlinax-server marlinax-peer marlinax)
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${MARLINAX_DATA}/man/${page}.1 > ${compressed}
    DEPENDS ${MARLINAX_DATA}/man/${page}.1
    VERBATIM)
  list(APPEND man_pages ${compressed})
endforeach()
add_custom_target(marlinax-man ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- icon: the SVG, and PNG renderings of it for menus that want bitmaps ----

install(FILES ${MARLINAX_DATA}/icons/marlinax.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(icon_pngs)
foreach(size 16 22 24 32 48 64 128 256)
  set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/marlinax.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --format=png --output=${png}
            ${MARLINAX_DATA}/icons/marlinax.svg
    DEPENDS ${MARLINAX_DATA}/icons/marlinax.svg
    VERBATIM)
  list(APPEND icon_pngs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(marlinax-icons ALL DEPENDS ${icon_pngs})

# ---- systemd user unit -----------------------------------------------------

# ExecStart needs the absolute path of the installed program, which is known
# only at install time (cpack installs under its own prefix), so the unit is
# written then.
set(MARLINAX_UNIT_TEMPLATE ${MARLINAX_DATA}/systemd/marlinax-server.service.in)
install(CODE "
  set(MARLINAX_SERVER_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/marlinax-server\")
  configure_file(\"${MARLINAX_UNIT_TEMPLATE}\" \"${CMAKE_BINARY_DIR}/systemd/marlinax-server.service\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\" TYPE FILE
       FILES \"${CMAKE_BINARY_DIR}/systemd/marlinax-server.service\")
")

# ---- Debian package --------------------------------------------------------

set(MARLINAX_MAINTAINER "Marlinax developers <maintainers@marlinax.org>"
  CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marlinax)
set(CPACK_PACKAGE_VENDOR "Marlinax")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "show and control this computer from an Apple Vision Pro")
set(CPACK_PACKAGE_DESCRIPTION
  "Marlinax Server lets an Apple Vision Pro running the Marlinax app show
this computer's displays and work them from the headset over the local
network. The headset finds the computer through DNS-SD (avahi-daemon),
connects over TLS with a pre-shared key, casts a whole X11 display as a
stream of JPEG images and sends pointer, scroll and key events back.

This package contains the desktop application (when built), the headless
server marlinax-server with a systemd user unit, and marlinax-peer, a tool
that plays the headset's part to check a set-up.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MARLINAX_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Headsets find the computer only through a running mDNS responder; the
# window's icons are SVG, drawn by Qt's SVG plugin, which is loaded at run time
# and so invisible to the library scan.
if(TARGET marlinax)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "avahi-daemon, libqt6svg6")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS avahi-daemon)
endif()
include(CPack)
