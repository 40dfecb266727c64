# Installed extras and the Debian package (`make package`, or `cpack -G DEB`
# in a build folder). The package installs under the build's install prefix,
# so the unit's ExecStart always names the installed program.
add_subdirectory(${PROJECT_SOURCE_DIR}/doc ${PROJECT_BINARY_DIR}/doc)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kov-orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kov Orvane developers")
set(CPACK_PACKAGE_CONTACT "Kov Orvane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "media mount that serves AAC audio as uncompressed PCM")
# CPack indents the continuation lines of the control file itself.
set(CPACK_PACKAGE_DESCRIPTION
  "kov-orvane mounts a mirror of media folders through FUSE in which every MP4 or\nMOV file with AAC audio appears with that track as 16-bit PCM, decoded on\ndemand by the system's libavcodec, for video editors that cannot decode AAC.\nIt runs as a systemd user service.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kov Orvane developers")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link (libfuse, GTK, libadwaita, libsoup) are
# found by dpkg-shlibdeps; fusermount3 is run, not linked.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
# libavcodec is loaded at run time when present; without it audio is silent.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "libavcodec59 | libavcodec60 | libavcodec61 | libavcodec62 | libavcodec58 | ffmpeg")
include(CPack)
