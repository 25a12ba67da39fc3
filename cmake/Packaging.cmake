# What `cmake --install` puts beside the program, and the Debian package CPack makes of it
# (`cpack -G DEB` in the build folder, or scripts/package.sh).
include(GNUInstallDirs)

set(pkg ${PROJECT_SOURCE_DIR}/data/packaging)
install(FILES ${pkg}/kirimark.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${pkg}/io.github.kirimark.Kirimark.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${pkg}/kirimark.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${pkg}/kirimark.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkg}/kirimark.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME kirimark)
install(FILES ${pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kirimark)

set(CPACK_PACKAGE_NAME kirimark)
set(CPACK_PACKAGE_VENDOR "the Kirimark developers")
set(CPACK_PACKAGE_CONTACT "the Kirimark developers <kirimark@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stamp a copyright line onto pictures in batches")
set(CPACK_PACKAGE_DESCRIPTION
    "Kirimark stamps one short line of text, such as a copyright notice, onto bitmap pictures and
saves each one beside the original as JPEG or PNG, from a small window that takes dropped files
or from the command line without a window.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
# The libraries the program links come from dpkg-shlibdeps; what it only opens at run time is named
# here: the Japanese face for the stamp and the UI, Qt's platform plugins and Qt's own Japanese
# texts, and the libraries opened at their first use (SharedLibrary.h): fontconfig for a face not
# yet on disk, nettle, its public-key half and GMP for the protected forms of the stored text.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS fonts-noto-cjk qt6-qpa-plugins qt6-translations-l10n
       "libfontconfig1 (>= 2.12.6)" libnettle8 libhogweed6 "libgmp10 (>= 2:6.2.1+dfsg1)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
include(CPack)
