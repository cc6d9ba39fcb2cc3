# Run by cpack on the files it has staged for each package: the Debian package gets what Debian
# asks of one (compressed manual pages and changelog, a copyright file, the overrides for the
# checker), and the tarball stays the plain install tree.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${usr}/share/doc/kilnload")
file(MAKE_DIRECTORY "${doc}" "${usr}/share/lintian/overrides")
file(COPY_FILE "${CPACK_KILNLOAD_DEB_DIR}/copyright" "${doc}/copyright")
# The copyright file states the licence, as Debian asks, so LICENSE, which the tarball keeps
# beside the documentation, leaves the Debian package.
file(REMOVE "${doc}/LICENSE")
file(COPY_FILE "${CPACK_KILNLOAD_DEB_DIR}/changelog" "${doc}/changelog.Debian")
file(COPY_FILE "${CPACK_KILNLOAD_DEB_DIR}/lintian-overrides" "${usr}/share/lintian/overrides/kilnload")
file(GLOB pages "${usr}/share/man/man1/*.1")
# No name or time in the gzip header, so that two builds of one source make the same package.
execute_process(COMMAND gzip -9n ${pages} "${doc}/changelog.Debian" COMMAND_ERROR_IS_FATAL ANY)
