# Install rules for a Linux desktop and a Debian package built with `cpack -G DEB`.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/parvolane-scan.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(PARVOLANE_BUILD_UI)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/parvolane.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/parvolane.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/parvolane.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "parvolane")
set(CPACK_PACKAGE_VENDOR "The Parvolane developers")
set(CPACK_PACKAGE_CONTACT "The Parvolane developers <support@${PARVOLANE_WEB_HOST}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Find duplicate files and duplicate folder trees")
set(CPACK_PACKAGE_DESCRIPTION
    "Parvolane finds duplicate files and duplicate folder trees below the folders you choose,\n\
lists them as numbered, checkable groups and moves the extra copies to the trash.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Plugins are loaded at run time, so the shared-library scan cannot see them: the window needs
# a platform plugin and the SVG image plugin for its icons.
if(PARVOLANE_BUILD_UI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
