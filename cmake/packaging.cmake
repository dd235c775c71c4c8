# Installation of the manual page, the example configuration and the README,
# and the Debian package (cpack -G DEB) built from the same install rules.
#
# `cmake --install` puts the files where a user looks for them:
#   bin/vantor
#   share/man/man1/vantor.1
#   share/doc/vantor/vantor.conf.example
#   share/doc/vantor/README.md
# The Debian package holds the same files below /usr, with the changes that
# Debian policy asks for (compressed manual page, copyright and changelog),
# made on CPack's staging copy only.

include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/doc/vantor.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/doc/vantor.conf.example
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(VANTOR_MAINTAINER "vantor maintainers <maintainers@users.noreply.c-seed-e0e11220.example>"
    CACHE STRING "Maintainer field of the Debian package")

# --- Debian-only files, added to CPack's staging tree before it is packed ---

set(VANTOR_DEB_EXTRAS ${PROJECT_BINARY_DIR}/deb-extras.cmake)
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE VANTOR_LICENSE_TEXT)
else()
  set(VANTOR_LICENSE_TEXT
"No licence has been published for vantor yet. Until one is, all rights are
reserved by its authors.
")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/deb/copyright
"vantor ${PROJECT_VERSION}

Publishes a local directory tree to an FTP server, uploading only what
changed, with a catalogue of modification times kept in MariaDB or MySQL.

Copyright 2026 the vantor authors
Maintainer: ${VANTOR_MAINTAINER}

${VANTOR_LICENSE_TEXT}")
file(WRITE ${PROJECT_BINARY_DIR}/deb/changelog
"vantor (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}: update run over FTP with a MariaDB/MySQL
    catalogue; create, clear and rebuild modes; manual page, example
    configuration and Debian package.

 -- ${VANTOR_MAINTAINER}  Mon, 07 Dec 2026 09:00:00 +0000
")

# Runs inside cpack after the install into the staging directory. The man
# page and changelog are compressed with gzip -9n (no name or time stamp in
# the header, so the package is reproducible), as Debian policy requires.
set(VANTOR_DEB_DIR ${PROJECT_BINARY_DIR}/deb)
file(CONFIGURE OUTPUT ${VANTOR_DEB_EXTRAS} @ONLY CONTENT [=[
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE _pages "${CPACK_TEMPORARY_DIRECTORY}/vantor.1")
list(FILTER _pages INCLUDE REGEX "/share/man/man1/vantor\\.1$")
if(NOT _pages)
  message(FATAL_ERROR "vantor.1 not found below ${CPACK_TEMPORARY_DIRECTORY}")
endif()
# CPack strips the binary; also drop the sections a stripped Debian binary
# leaves out (what dh_strip does).
file(GLOB _bins "${CPACK_TEMPORARY_DIRECTORY}/*/bin/vantor")
foreach(_bin IN LISTS _bins)
  execute_process(COMMAND "@CMAKE_STRIP@" --remove-section=.comment
                          --remove-section=.note "${_bin}"
                  RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "strip failed on ${_bin}: ${_rc}")
  endif()
endforeach()
foreach(_page IN LISTS _pages)
  # <prefix>/share/man/man1/vantor.1 -> <prefix>/share/doc/vantor
  cmake_path(GET _page PARENT_PATH _share)
  cmake_path(GET _share PARENT_PATH _share)
  cmake_path(GET _share PARENT_PATH _share)
  set(_doc "${_share}/doc/vantor")
  file(COPY "@VANTOR_DEB_DIR@/copyright" "@VANTOR_DEB_DIR@/changelog"
       DESTINATION "${_doc}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  execute_process(COMMAND gzip -9nf "${_page}" "${_doc}/changelog"
                  RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "gzip failed: ${_rc}")
  endif()
endforeach()
]=])

# --- CPack ---

set(CPACK_PACKAGE_NAME vantor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vantor")
set(CPACK_PACKAGE_CONTACT "${VANTOR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "publish a directory tree over FTP, uploading only what changed")
set(CPACK_PACKAGE_DESCRIPTION
"vantor keeps a copy of a local directory tree on an FTP server. It records
the modification time of every file it has published in a table of a
MariaDB or MySQL database, and on each run uploads only the files that are
new or whose modification time changed, creating missing remote
directories. Unchanged files cost one database lookup and no transfer.
Nothing is ever deleted on the server. Its messages are in Spanish.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${VANTOR_DEB_EXTRAS})

set(CPACK_DEBIAN_PACKAGE_NAME vantor)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The system's certificate authorities, which TLS trusts when ftpcafile is
# not set. Recommended rather than required: plain FTP and a server trusted
# through ftpcafile do without them, and a run that needs them and finds
# them missing says so at start-up.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
include(CPack)
