# Run by CPack once it has written the packages, to take out what the builder's machine
# put into them. CPack adds a zip's files in the order the file system lists them, which
# differs between file systems, and stamps them in the builder's time zone; and it gives
# the .deb's three members the rights the builder's umask leaves. So both are written
# again from the same files: the zip sorted by name with its times in UTC, the .deb by
# binutils' ar in its deterministic mode (rights 0644, owner and time 0).
function(vorlent_run directory)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${directory} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Could not write the package again: ${ARGN}: ${status}")
  endif()
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${CPACK_TOPLEVEL_DIRECTORY}
         ${CPACK_TEMPORARY_DIRECTORY}/*)
    list(SORT files)
    vorlent_run(${CPACK_TOPLEVEL_DIRECTORY}
      ${CMAKE_COMMAND} -E env TZ=UTC0 SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}
      ${CMAKE_COMMAND} -E tar cf ${package} --format=zip -- ${files})
  elseif(package MATCHES "\\.deb$")
    set(members ${CPACK_TOPLEVEL_DIRECTORY}/deb-members)
    file(REMOVE_RECURSE ${members})
    file(MAKE_DIRECTORY ${members})
    vorlent_run(${members} ${CPACK_VORLENT_AR} x ${package})
    file(REMOVE ${package})
    vorlent_run(${members}
      ${CPACK_VORLENT_AR} rcD ${package} debian-binary control.tar.gz data.tar.gz)
  endif()
endforeach()
