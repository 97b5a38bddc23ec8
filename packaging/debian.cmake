# The Debian package, built from the build tree: cpack -G DEB (or the "package" target).
# Included last from the top-level CMakeLists.txt, so it sees every install rule.

set(LUMORA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/lumora)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/changelog changelog.Debian
  COMMAND gzip -9nf changelog.Debian
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging
  VERBATIM)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
add_custom_target(lumora_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz
        DESTINATION ${LUMORA_DOC_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME lumora)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lumora Dev <dev@lumora.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "calm daily ritual, one facet of your gem at a time")
set(CPACK_PACKAGE_DESCRIPTION
    "Lumora is a calm daily ritual: five minutes a day, you polish one facet of
your gem. Guided audio sessions play on with the window closed, under
media-key control. A daily reminder comes at the chosen time, progress can be
synchronised between machines through a shared folder, and documents export
to A4 PDF. Gift links (lumora-gift:) open in Lumora.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Depends from the libraries the binary links; then what it needs that no library shows:
# the fonts the page asks for and the PDF export falls back to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-cantarell, fonts-dejavu-core")
# Audio goes through the PulseAudio protocol; the reminder's timer needs a systemd user
# manager, which needs the user bus.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, dbus-user-session")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
