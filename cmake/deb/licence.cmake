# Run by cpack after deb-files.cmake: the Debian package states its licence in its copyright file,
# as Debian asks, so LICENSE, which the tarball keeps beside the documentation, leaves it.
if(CPACK_GENERATOR STREQUAL "DEB")
  file(REMOVE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/kilnload/LICENSE")
endif()
