# The licence and changelog as Debian installs them, and a Debian package of the programs and
# their manual pages: cpack -G DEB in the build folder.
set(PICTOR_MAINTAINER "The pictor authors <maintainers@pictor.dev>")

# The licence in Debian's machine-readable copyright format: its terms, after the copyright
# line, each line indented by one blank and empty lines written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE pictor_licence)
string(REGEX REPLACE "^.*Copyright \\(c\\) ([^\n]*)\n\n" "" pictor_terms "${pictor_licence}")
string(REGEX REPLACE "\n+$" "" pictor_terms "${pictor_terms}")
string(REPLACE "\n\n" "\n.\n" pictor_terms "${pictor_terms}")
string(REPLACE "\n" "\n " pictor_terms "${pictor_terms}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: pictor
Upstream-Contact: ${PICTOR_MAINTAINER}

Files: *
Copyright: 2026 the pictor authors
License: BSD-3-Clause
 ${pictor_terms}
")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in packaging/changelog @ONLY)
add_custom_command(OUTPUT packaging/changelog.gz
  COMMAND gzip -9 -n -c changelog > changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging)
add_custom_target(pictor_changelog ALL DEPENDS packaging/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/copyright
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME pictor)
set(CPACK_PACKAGE_VENDOR "The pictor authors")
set(CPACK_PACKAGE_CONTACT "${PICTOR_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "converters between Radiance RGBE pictures and OpenEXR files")
# The extended description, below the summary; lines within Debian's 80 columns.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "pictor_tohalf turns a Radiance RGBE picture (.hdr, .pic) into an OpenEXR
RGBA file of half floats, or of 32-bit floats on request, applying the gamma
and exposure of its header. pictor_fromhalf turns an OpenEXR file into a
run-length coded Radiance picture and writes a raw dump of its scanlines.

Both stream pictures of any height in little memory, use every core, never
leave a partial output and end every damaged input with a message.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
