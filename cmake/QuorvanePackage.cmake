# Install rules and the Debian packages.
#
# The package keeps one read-only copy of the release (programs and the
# default installation tree) in /usr/lib/quorvane; the launcher on the PATH
# copies it into each user's program folder and runs it from there
# (src/launcher). Two components, one package each:
#   quorvane         the programs, the launcher, quorvane-cli, desktop files
#   refsvc           quorvane-refsvc, the reference service, for trying the
#                    client on one machine
# The demo collection server (scripts/collector.sh) is in neither.
#
#   cmake --install BUILD --prefix STAGE --component quorvane
#   scripts/package.sh      (cpack in BUILD)

set(QUORVANE_RELEASE_DEST ${QUORVANE_INSTALL_RELEASEDIR})
set(QUORVANE_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(QUORVANE_APP_ID net.quorvane.Quorvane)
set(QUORVANE_DEB_RELEASE 1)
set(QUORVANE_DEB_VERSION ${PROJECT_VERSION}-${QUORVANE_DEB_RELEASE})
set(QUORVANE_GENERATED ${CMAKE_BINARY_DIR}/packaging)

# ---- The packaged release ----
install(TARGETS Quorvane Update Velomark quorvane-cli
  RUNTIME DESTINATION ${QUORVANE_RELEASE_DEST} COMPONENT quorvane)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/dist/ DESTINATION ${QUORVANE_RELEASE_DEST} COMPONENT quorvane
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Which package release this is: the launcher brings it into a user's
# folder when it is newer than the one the folder holds.
file(WRITE ${QUORVANE_GENERATED}/packaged-release "${PROJECT_VERSION}\n")
install(FILES ${QUORVANE_GENERATED}/packaged-release DESTINATION ${QUORVANE_RELEASE_DEST} COMPONENT quorvane)

# ---- The launcher, under both names ----
install(TARGETS quorvane RUNTIME DESTINATION bin COMPONENT quorvane)
file(CREATE_LINK quorvane ${QUORVANE_GENERATED}/quorvane-cli SYMBOLIC)
install(FILES ${QUORVANE_GENERATED}/quorvane-cli DESTINATION bin COMPONENT quorvane)

# ---- Manual pages, compressed as Debian wants them ----
# quorvane-cli's page is printed by the program (src/cli).
set(QUORVANE_CLI_MAN ${CMAKE_BINARY_DIR}/man/man1/quorvane-cli.1)
configure_file(${QUORVANE_PACKAGING}/linux/quorvane.1 ${QUORVANE_GENERATED}/quorvane.1 @ONLY)
add_custom_command(OUTPUT ${QUORVANE_GENERATED}/quorvane.1.gz ${QUORVANE_GENERATED}/quorvane-cli.1.gz
  COMMAND gzip -9nc ${QUORVANE_GENERATED}/quorvane.1 > ${QUORVANE_GENERATED}/quorvane.1.gz
  COMMAND gzip -9nc ${QUORVANE_CLI_MAN} > ${QUORVANE_GENERATED}/quorvane-cli.1.gz
  DEPENDS ${QUORVANE_GENERATED}/quorvane.1 ${QUORVANE_CLI_MAN}
  VERBATIM)
add_custom_target(quorvane_man_pages ALL
  DEPENDS ${QUORVANE_GENERATED}/quorvane.1.gz ${QUORVANE_GENERATED}/quorvane-cli.1.gz)
add_dependencies(quorvane_man_pages quorvane-cli.1)
install(FILES ${QUORVANE_GENERATED}/quorvane.1.gz ${QUORVANE_GENERATED}/quorvane-cli.1.gz
  DESTINATION share/man/man1 COMPONENT quorvane)

# ---- Desktop integration ----
install(FILES ${QUORVANE_PACKAGING}/linux/${QUORVANE_APP_ID}.desktop
  DESTINATION share/applications COMPONENT quorvane)
configure_file(${QUORVANE_PACKAGING}/linux/${QUORVANE_APP_ID}.metainfo.xml
  ${QUORVANE_GENERATED}/${QUORVANE_APP_ID}.metainfo.xml @ONLY)
install(FILES ${QUORVANE_GENERATED}/${QUORVANE_APP_ID}.metainfo.xml DESTINATION share/metainfo COMPONENT quorvane)
foreach(size 48 64 128 256)
  install(FILES ${QUORVANE_PACKAGING}/icons/quorvane-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME ${QUORVANE_APP_ID}.png COMPONENT quorvane)
endforeach()
install(FILES ${QUORVANE_PACKAGING}/icons/quorvane.svg
  DESTINATION share/icons/hicolor/scalable/apps RENAME ${QUORVANE_APP_ID}.svg COMPONENT quorvane)

# ---- Debian's documentation files, for both packages ----
configure_file(${QUORVANE_PACKAGING}/linux/changelog.Debian ${QUORVANE_GENERATED}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${QUORVANE_GENERATED}/changelog.Debian.gz
  COMMAND gzip -9nc ${QUORVANE_GENERATED}/changelog.Debian > ${QUORVANE_GENERATED}/changelog.Debian.gz
  DEPENDS ${QUORVANE_GENERATED}/changelog.Debian VERBATIM)
add_custom_target(quorvane_changelog ALL DEPENDS ${QUORVANE_GENERATED}/changelog.Debian.gz)
foreach(component quorvane refsvc)
  set(package quorvane)
  if(component STREQUAL refsvc)
    set(package quorvane-refsvc)
  endif()
  install(FILES ${QUORVANE_PACKAGING}/linux/copyright ${QUORVANE_GENERATED}/changelog.Debian.gz
    DESTINATION share/doc/${package} COMPONENT ${component})
endforeach()

# ---- The reference service ----
# It finds its data beside itself (refsvc/), so it keeps a folder of its own.
install(TARGETS quorvane-refsvc RUNTIME DESTINATION lib/quorvane-refsvc COMPONENT refsvc)
# Not sshd/: that is the demo collection server's throwaway host key.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/service/data/ DESTINATION lib/quorvane-refsvc/refsvc COMPONENT refsvc
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
  PATTERN sshd EXCLUDE)
file(CREATE_LINK ../lib/quorvane-refsvc/quorvane-refsvc ${QUORVANE_GENERATED}/quorvane-refsvc SYMBOLIC)
install(FILES ${QUORVANE_GENERATED}/quorvane-refsvc DESTINATION bin COMPONENT refsvc)
configure_file(${QUORVANE_PACKAGING}/linux/quorvane-refsvc.1 ${QUORVANE_GENERATED}/quorvane-refsvc.1 @ONLY)
add_custom_command(OUTPUT ${QUORVANE_GENERATED}/quorvane-refsvc.1.gz
  COMMAND gzip -9nc ${QUORVANE_GENERATED}/quorvane-refsvc.1 > ${QUORVANE_GENERATED}/quorvane-refsvc.1.gz
  DEPENDS ${QUORVANE_GENERATED}/quorvane-refsvc.1 VERBATIM)
add_custom_target(quorvane_refsvc_man_page ALL DEPENDS ${QUORVANE_GENERATED}/quorvane-refsvc.1.gz)
install(FILES ${QUORVANE_GENERATED}/quorvane-refsvc.1.gz DESTINATION share/man/man1 COMPONENT refsvc)

# ---- CPack ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quorvane developers")
set(CPACK_PACKAGE_CONTACT "The Quorvane developers <maintainers@quorvane.net>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quorvane refsvc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUORVANE_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://quorvane.net/)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Library dependencies come from the programs themselves (dpkg-shlibdeps),
# not from a list kept by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The extended descriptions below: CPack indents each line itself; "." alone
# separates paragraphs.

set(CPACK_DEBIAN_QUORVANE_PACKAGE_NAME quorvane)
set(CPACK_DEBIAN_QUORVANE_DESCRIPTION "measure the quality of an Internet line
Quorvane measures a home or office Internet line for a measurement
service: download and upload bandwidth, a file download, the first-screen
time of a web page and a video stream, by hand or in automatic rounds
from the tray. Results are kept in a local history and uploaded.
.
The package holds the programs Quorvane, Update (the background
updater), Velomark (the interactive updater) and quorvane-cli. Each user
runs them from a program folder of their own (~/.local/share/quorvane),
which the quorvane launcher creates and keeps current.")
# What no program links but Qt loads at run time: the windowing plug-ins
# (dpkg-shlibdeps cannot see a dlopen). xdg-open shows the help and the
# service's pages.
set(CPACK_DEBIAN_QUORVANE_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_QUORVANE_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_QUORVANE_PACKAGE_CONTROL_EXTRA ${QUORVANE_PACKAGING}/linux/postrm)

set(CPACK_DEBIAN_REFSVC_PACKAGE_NAME quorvane-refsvc)
set(CPACK_DEBIAN_REFSVC_PACKAGE_SECTION net)
set(CPACK_DEBIAN_REFSVC_DESCRIPTION "reference measurement service for Quorvane, on loopback
quorvane-refsvc implements the requests and answers the Quorvane client
uses (web project, test servers, clock, update server, video-site stubs)
on loopback ports, with its state in memory, so that the client can be
tried and tested on one machine without the real service.")

include(CPack)
