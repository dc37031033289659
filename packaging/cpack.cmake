# Packages: on Windows a zip of Vorlent.exe with a README; elsewhere the programs with
# their manual pages, as an archive or a Debian package.
set(CPACK_PACKAGE_NAME Vorlent)
set(CPACK_PACKAGE_VENDOR Vorlent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vorlent allows direct access to disk sectors")

if(WIN32)
  # The zip holds the very Vorlent.exe that was built (a release is linked stripped).
  set(CPACK_GENERATOR ZIP)
  # Windows line ends, so that every editor there shows the lines.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt.in
                 ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
else()
  include(GNUInstallDirs)
  # The programs' manual pages, written by hand; they go out gzipped, as Debian keeps
  # its pages.
  foreach(page vorlent vorlent-drives)
    set(page_file ${CMAKE_BINARY_DIR}/man/${page}.1)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${page}.1.in ${page_file} @ONLY)
    file(ARCHIVE_CREATE OUTPUT ${page_file}.gz PATHS ${page_file}
         FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
    install(FILES ${page_file}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  set(CPACK_GENERATOR TGZ)
  set(CPACK_STRIP_FILES ON)
  # cpack -G DEB (or the package preset): vorlent_<version>_<arch>.deb.
  set(CPACK_DEBIAN_PACKAGE_NAME vorlent)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vorlent maintainers <maintainers@vorlent.example>")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The first line of the description is the summary above.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vorlent saves bytes of a whole disk into a plain file and loads a file's bytes
back onto a disk, from any sector: made for backing up and restoring boot
sectors and other small regions of a disk. vorlent-drives shows which disk
each drive number names.")
endif()

include(CPack)
