# The bash completions, where bash-completion finds them by command name on first use, and the
# packages `cpack` makes from the build folder: a Debian package that installs under /usr, and a
# tarball of the same files for any other prefix.

install(FILES completions/kilnload completions/kilnload-sim
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# The licence travels with the programs: the MIT licence asks that its notice go with every copy.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME kilnload)
set(CPACK_PACKAGE_VENDOR "kilnload developers")
set(CPACK_PACKAGE_CONTACT "kilnload developers <kilnload@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "erase and write a microcontroller's memories through its serial loader")
# Line breaks kept: they become the Debian package's long description as it is shown.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "kilnload identifies a microcontroller on a 9600-baud serial line through the"
  "download loader built into the chip, erases its program memory or its program"
  "and data memory, and writes either memory from an Intel HEX file."
  "kilnload-sim is a stand-in chip on a pseudo-terminal, for trying kilnload and"
  "testing the scripts around it without hardware.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The first packaging of this version; Debian names its changelog changelog.Debian.gz for such.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_KILNLOAD_DEB_DIR "${CMAKE_CURRENT_LIST_DIR}/deb")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/deb-files.cmake")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps reads the versions the binaries need, but comes with dpkg-dev and needs file,
# neither of which a plain Debian system has; without them the libraries the binaries load
# (libc.so.6, libgcc_s.so.1, libstdc++.so.6) are named by their packages, unversioned.
find_program(KILNLOAD_SHLIBDEPS dpkg-shlibdeps)
find_program(KILNLOAD_FILE file)
if(KILNLOAD_SHLIBDEPS AND KILNLOAD_FILE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()

include(CPack)
