# The Debian package: `cpack -G DEB` in the build folder (scripts/package.sh).
#
# The program keeps its folder of its own, /opt/varnelo, as on every other
# platform; /usr/bin/varnelo points to it. The rules below belong to the
# component "deb" and are left out of a plain `cmake --install`, which still
# makes a program folder (src/CMakeLists.txt).

# Folders 0755 whatever the umask of the build.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(VARNELO_APP_ID io.github.varnelo.Varnelo)
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(gen ${CMAKE_BINARY_DIR}/packaging)
set(data OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Manual page and changelog: compressed as Debian wants them, without a time
# stamp in the gzip header, so that two builds give the same bytes.
configure_file(${pkg}/varnelo.1 ${gen}/varnelo.1 @ONLY)
configure_file(${pkg}/varnelo.de.1 ${gen}/varnelo.de.1 @ONLY)
configure_file(${pkg}/changelog.in ${gen}/changelog @ONLY)
configure_file(${pkg}/${VARNELO_APP_ID}.metainfo.xml.in ${gen}/${VARNELO_APP_ID}.metainfo.xml @ONLY)
find_program(VARNELO_GZIP gzip REQUIRED)
foreach(doc varnelo.1 varnelo.de.1 changelog)
  add_custom_command(OUTPUT ${gen}/${doc}.gz
    COMMAND ${VARNELO_GZIP} -9nc ${gen}/${doc} > ${gen}/${doc}.gz
    DEPENDS ${gen}/${doc} VERBATIM)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${gen}/varnelo.1.gz ${gen}/varnelo.de.1.gz ${gen}/changelog.gz)
# The README for administrators, and the conformance statement once there
# is one: compressed too (Debian policy 12.3: documents over 4 kB).
set(VARNELO_PACKAGE_DOCS README.md)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/conformance.md)
  list(APPEND VARNELO_PACKAGE_DOCS docs/conformance.md)
endif()
set(package_docs_gz "")
foreach(doc ${VARNELO_PACKAGE_DOCS})
  get_filename_component(name ${doc} NAME)
  add_custom_command(OUTPUT ${gen}/${name}.gz
    COMMAND ${VARNELO_GZIP} -9nc ${PROJECT_SOURCE_DIR}/${doc} > ${gen}/${name}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/${doc} VERBATIM)
  list(APPEND package_docs_gz ${gen}/${name}.gz)
endforeach()
add_custom_target(package_readme ALL DEPENDS ${package_docs_gz})

install(TARGETS Varnelo RUNTIME DESTINATION opt/varnelo COMPONENT deb EXCLUDE_FROM_ALL)
# After CPack's strip: the compilers' version notes go too, as dh_strip has it.
install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/opt/varnelo/Varnelo\")" COMPONENT deb EXCLUDE_FROM_ALL)
# Across top-level folders a link is absolute (Debian policy 10.5).
file(CREATE_LINK /opt/varnelo/Varnelo ${gen}/varnelo SYMBOLIC)
install(FILES ${gen}/varnelo DESTINATION usr/bin COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${pkg}/${VARNELO_APP_ID}.desktop DESTINATION usr/share/applications PERMISSIONS ${data}
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${gen}/${VARNELO_APP_ID}.metainfo.xml DESTINATION usr/share/metainfo PERMISSIONS ${data}
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/varnelo.png DESTINATION usr/share/icons/hicolor/64x64/apps
  PERMISSIONS ${data} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${gen}/varnelo.1.gz DESTINATION usr/share/man/man1 PERMISSIONS ${data} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${gen}/varnelo.de.1.gz DESTINATION usr/share/man/de/man1 RENAME varnelo.1.gz PERMISSIONS ${data}
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${gen}/changelog.gz ${pkg}/copyright DESTINATION usr/share/doc/varnelo PERMISSIONS ${data}
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${package_docs_gz} DESTINATION usr/share/doc/varnelo PERMISSIONS ${data} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${pkg}/system-settings.ini DESTINATION usr/share/doc/varnelo/examples RENAME Varnelo.ini
  PERMISSIONS ${data} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${pkg}/lintian-overrides DESTINATION usr/share/lintian/overrides RENAME varnelo PERMISSIONS ${data}
  COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnelo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Varnelo Developers")
set(CPACK_PACKAGE_CONTACT "Varnelo Developers <varnelo@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send the DICOM images of a patient CD or folder to a PACS")
set(CPACK_PACKAGE_DESCRIPTION "\
Varnelo is a desktop program for imaging workstations. An operator puts in
a patient CD, or picks a folder, and Varnelo finds the DICOM images on it,
through the DICOMDIR or by scanning the folders, optionally replaces the
Patient ID or takes the identity of a patient picked in the Modality
Worklist, and sends every image by C-STORE to one or two PACS, which it
then asks to confirm what they stored.")
# Only the "deb" component, from this build, at the root of the package.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};Varnelo;deb;/")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/varnelo/varnelo")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside what dpkg-shlibdeps finds in the executable: the faces the windows
# are laid out for (Arial's and Tahoma's metrics); the one that draws
# Chinese and Japanese names in the worklist is welcome. Qt's own German
# texts (Yes, No, the folder picker) come from qt6-translations-l10n.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation, fonts-wine, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-droid-fallback")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
