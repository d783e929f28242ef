# Run by CPack on the staged files before the Debian package is built: the
# manual page and changelog compressed as Debian wants, and the copyright
# file beside the documentation.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(doc "${root}/usr/share/doc/quillon")
file(COPY "${CPACK_QUILLON_DIST}/copyright" DESTINATION "${doc}")
configure_file("${CPACK_QUILLON_DIST}/changelog.in" "${doc}/changelog" @ONLY)
file(GLOB pages "${root}/usr/share/man/man1/*.1")
foreach(file ${pages} "${doc}/changelog" "${doc}/README.md")
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
