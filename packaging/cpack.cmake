# Packages: on Windows a zip of Vorlent.exe with a README, elsewhere an archive of the
# installed program.
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
  set(CPACK_GENERATOR TGZ)
  set(CPACK_STRIP_FILES ON)
endif()

include(CPack)
