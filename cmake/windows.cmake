# The Windows executable: its version record and manifest, and a runtime that every
# stock Windows already has.
enable_language(RC)

set(VORLENT_PUBLISHER_URL "https://vorlent.example" CACHE STRING
    "Web address of the publisher, shown as company and legal notice in Vorlent.exe")

# The version record shows the version as text in this form: "1, 2, 0, 2".
set(VORLENT_VERSION_TEXT
    "${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, ${PROJECT_VERSION_TWEAK}")
# The manifest names the processor the program is built for: the shipped program is x86;
# the tests' 64-bit build would not start on Windows with an x86 manifest.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VORLENT_MANIFEST_ARCHITECTURE amd64)
else()
  set(VORLENT_MANIFEST_ARCHITECTURE x86)
endif()
set(VORLENT_MANIFEST_PATH ${CMAKE_CURRENT_BINARY_DIR}/Vorlent.exe.manifest)
configure_file(packaging/vorlent.manifest.in ${VORLENT_MANIFEST_PATH} @ONLY)
configure_file(packaging/vorlent.rc.in ${CMAKE_CURRENT_BINARY_DIR}/vorlent.rc @ONLY)
target_sources(vorlent PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/vorlent.rc)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/vorlent.rc PROPERTIES
    OBJECT_DEPENDS ${VORLENT_MANIFEST_PATH})

if(MSVC)
  # The resource script embeds the manifest; the linker must not add one of its own.
  target_link_options(vorlent PRIVATE /MANIFEST:NO)
  # The C runtime goes inside the executable: no Visual C++ runtime DLL to install.
  set_target_properties(vorlent vorlent_logic PROPERTIES
      MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  # libgcc and libstdc++ go inside the executable, leaving only system DLLs to import.
  # A release carries no symbol table.
  # No time stamp in the PE header, so two builds of one commit are the same bytes.
  target_link_options(vorlent PRIVATE -static $<$<CONFIG:Release,MinSizeRel>:-s>
                      -Wl,--no-insert-timestamp)
endif()
