# What `cmake --install` puts where (GNUInstallDirs), and the packages CPack makes of it:
# a Debian package on Linux (`make package`), a zip of the programs for Windows.
include(GNUInstallDirs)

set(TFLUX_KRN_APP_ID org.orvane.tfluxkrn)
# The date of the release that project() names; the man pages and the metainfo show it.
set(TFLUX_KRN_RELEASE_DATE 2026-12-08)

install(TARGETS tflux-krn-cli tflux-krn-checksum RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tflux-krn)
  install(TARGETS tflux-krn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET tflux-krn-maps)
  # The program finds the module as the build lays them out: bin/../lib/tflux-krn.
  if(NOT CMAKE_INSTALL_BINDIR STREQUAL "bin")
    message(FATAL_ERROR "tflux-krn-cli looks for its maps in ../${TFLUX_MAPS_MODULE_DIR}: "
                        "install it in bin, not ${CMAKE_INSTALL_BINDIR}")
  endif()
  install(TARGETS tflux-krn-maps LIBRARY DESTINATION ${TFLUX_MAPS_MODULE_DIR})
endif()

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  # The programs link these statically: their licences go with them, as Debian states them.
  foreach(_package libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev mingw-w64-x86-64-dev
                   gcc-mingw-w64-x86-64-posix-runtime libcli11-dev nlohmann-json3-dev)
    if(EXISTS /usr/share/doc/${_package}/copyright)
      install(FILES /usr/share/doc/${_package}/copyright DESTINATION licences
              RENAME ${_package}.txt)
    endif()
  endforeach()
else()
  set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
  set(_out ${PROJECT_BINARY_DIR}/packaging)

  # Man pages, dated and versioned like the release, compressed as Debian installs them.
  find_program(TFLUX_GZIP gzip)
  set(_man_pages "")
  set(_pages tflux-krn-cli.1 tflux-krn-checksum.1)
  if(TARGET tflux-krn)
    list(APPEND _pages tflux-krn.1)
  endif()
  foreach(_page ${_pages})
    configure_file(${_pkg}/man/${_page}.in ${_out}/man/${_page} @ONLY)
    if(TFLUX_GZIP)
      add_custom_command(OUTPUT ${_out}/man/${_page}.gz
        COMMAND ${TFLUX_GZIP} -9 -n -c ${_out}/man/${_page} > ${_out}/man/${_page}.gz
        DEPENDS ${_out}/man/${_page} VERBATIM)
      list(APPEND _man_pages ${_out}/man/${_page}.gz)
    else()
      list(APPEND _man_pages ${_out}/man/${_page})
    endif()
  endforeach()
  add_custom_target(tflux_man_pages ALL DEPENDS ${_man_pages})
  install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The licence, for the code and the bundled tracks alike: as Debian's copyright file and as
  # it stands, beside the README.
  set(TFLUX_KRN_MAINTAINER "Orvane <tflux-krn@orvane.invalid>" CACHE STRING
      "Maintainer named in the Debian package")
  configure_file(${_pkg}/copyright.in ${_out}/copyright @ONLY)
  install(FILES ${_out}/copyright ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  if(TARGET tflux-krn)
    set(TFLUX_KRN_SCREENSHOT_BASE "https://orvane.invalid/tflux-krn/screenshots" CACHE STRING
        "Where the metainfo's screenshots (resources/screenshots/) are published")
    install(FILES ${_pkg}/${TFLUX_KRN_APP_ID}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    configure_file(${_pkg}/${TFLUX_KRN_APP_ID}.metainfo.xml.in
                   ${_out}/${TFLUX_KRN_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${_out}/${TFLUX_KRN_APP_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    # The icon at every size it is drawn at, and its source as the scalable one.
    foreach(_size 16 32 48)
      install(FILES ${PROJECT_SOURCE_DIR}/resources/art/icon-${_size}.png
              DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps
              RENAME ${TFLUX_KRN_APP_ID}.png)
    endforeach()
    install(FILES ${PROJECT_SOURCE_DIR}/resources/art/icon.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
            RENAME ${TFLUX_KRN_APP_ID}.svg)
  endif()
endif()

set(CPACK_PACKAGE_NAME tflux-krn)
set(CPACK_PACKAGE_VENDOR Orvane)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TFLUX_KRN_MAINTAINER}")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The libraries the programs link come from dpkg-shlibdeps. Qt loads its platform plugins
  # at run time, which no link shows: without them the window cannot open.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(TARGET tflux-krn)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  endif()
  # The summary comes first from CPACK_PACKAGE_DESCRIPTION_SUMMARY; CPack indents the rest.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Turns a cartridge image of T-Flux X (16 MiB, .z64 or .v64, North American,
Japanese or PAL release) into the T-Flux KRN track-pack edition: the 24
tracks of the pack replace the game's, the track tables are rebuilt and the
header checksums updated. A failed patch leaves the output as it was.

Contains the window (tflux-krn), the same patch on the command line
(tflux-krn-cli) and a header checksum tool (tflux-krn-checksum).")
endif()
include(CPack)
