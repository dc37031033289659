# Packages: on Windows a zip of Vorlent.exe with a README and the licence; elsewhere the
# programs with their manual pages, the licence and a changelog, as an archive or a
# Debian package.
set(CPACK_PACKAGE_NAME Vorlent)
set(CPACK_PACKAGE_VENDOR Vorlent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy raw bytes between a physical drive and a file")
set(VORLENT_MAINTAINER "Vorlent maintainers <maintainers@vorlent.example>" CACHE STRING
    "Name and mail address of whoever maintains the packages, as Debian's Maintainer field")

# The file times inside the packages (see the top CMakeLists.txt).
set(CPACK_VORLENT_SOURCE_DATE_EPOCH ${VORLENT_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/reproducible-packages.cmake)
set(CPACK_VORLENT_AR ${CMAKE_AR})

if(WIN32)
  # The zip holds the very Vorlent.exe that was built (a release is linked stripped).
  set(CPACK_GENERATOR ZIP)
  # Windows line ends, so that every editor there shows the lines.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt.in
                 ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt
                 @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  include(GNUInstallDirs)
  # gzip -n leaves out the file's name and time, which would make every build differ.
  find_program(VORLENT_GZIP gzip REQUIRED)
  function(vorlent_gzip file)
    execute_process(COMMAND ${VORLENT_GZIP} -9 -n -c ${file} OUTPUT_FILE ${file}.gz
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip could not compress ${file}")
    endif()
  endfunction()

  # The programs' manual pages, written by hand; they go out gzipped, as Debian keeps
  # its pages.
  foreach(page vorlent vorlent-drives)
    set(page_file ${CMAKE_BINARY_DIR}/man/${page}.1)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${page}.1.in ${page_file} @ONLY)
    vorlent_gzip(${page_file})
    install(FILES ${page_file}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # The licence, in Debian's machine-readable form, where Debian looks for it, with the
  # changelog it expects beside it; the changelog's date is that of the build's stamps.
  set(doc_dir ${CMAKE_BINARY_DIR}/doc)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${licence}")
  set(VORLENT_COPYRIGHT ${CMAKE_MATCH_1})
  string(REGEX REPLACE "^.*\n(Permission )" "\\1" notice "${licence}")
  string(STRIP "${notice}" notice)
  string(REPLACE "\n\n" "\n.\n" notice "${notice}")
  string(REPLACE "\n" "\n " VORLENT_LICENSE_NOTICE " ${notice}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${doc_dir}/copyright @ONLY)
  if(VORLENT_SOURCE_DATE_EPOCH)
    set(ENV{SOURCE_DATE_EPOCH} ${VORLENT_SOURCE_DATE_EPOCH})
  endif()
  string(TIMESTAMP VORLENT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${doc_dir}/changelog @ONLY)
  vorlent_gzip(${doc_dir}/changelog)
  install(FILES ${doc_dir}/copyright ${doc_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vorlent)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME vorlent)

  set(CPACK_GENERATOR TGZ)
  set(CPACK_STRIP_FILES ON)
  # cpack -G DEB (or the package preset): vorlent_<version>_<arch>.deb.
  set(CPACK_DEBIAN_PACKAGE_NAME vorlent)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VORLENT_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The first line of the description is the summary above.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Vorlent saves bytes of a whole disk into a plain file and loads a file's bytes
back onto a disk, from any sector: made for backing up and restoring boot
sectors and other small regions of a disk. vorlent-drives shows which disk
each drive number names.")
endif()

include(CPack)
