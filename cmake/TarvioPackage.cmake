# The Debian package, tarvio_VERSION_ARCH.deb, made by CPack's DEB generator from this build
# (`make package`, or `cmake --build build --target package`). Configure with
# -DCMAKE_INSTALL_PREFIX=/usr (the Makefile does): the run path and the skins' folder compiled
# into the programs follow the prefix.
#
# Layout: the programs in bin/, this project's own run-time libraries in lib/<triplet>/tarvio/
# (found through the programs' run path), the default skin and the example config.ini in
# share/tarvio/, the manual pages, the copyright and changelog, and the kiosk files (a
# systemd user unit, an XDG autostart entry to copy).
#
# Depends: dpkg-shlibdeps for what the programs and libraries link, plus the package of
# every library they open at run time, read from the one table the loaders use
# (pipeline/TRuntimeLibrary.h): rlDepends entries into Depends, rlRecommends entries into
# Recommends.

if(TARVIO_FUZZ OR TARVIO_SANITIZE OR NOT TARGET tarvio-cli)
  return()
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "tarvio: the package is meant to be built with CMAKE_INSTALL_PREFIX=/usr "
                 "(now ${CMAKE_INSTALL_PREFIX})")
endif()

# ---- Run-time libraries: one line of the table each ----
set(table ${PROJECT_SOURCE_DIR}/pipeline/TRuntimeLibrary.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
file(STRINGS ${table} entries REGEX "^inline constexpr TRuntimeLibrary [A-Za-z0-9]+ *\\{")
set(runtime_depends "")
set(runtime_recommends "")
foreach(entry ${entries})
  if(NOT entry MATCHES "\\{\"([^\"]+)\", *\"([^\"]+)\", *rl(Depends|Recommends|Built)\\}")
    message(FATAL_ERROR "pipeline/TRuntimeLibrary.h: cannot read the entry: ${entry}")
  endif()
  if(CMAKE_MATCH_3 STREQUAL "Depends")
    list(APPEND runtime_depends ${CMAKE_MATCH_2})
  elseif(CMAKE_MATCH_3 STREQUAL "Recommends")
    list(APPEND runtime_recommends ${CMAKE_MATCH_2})
  endif()
endforeach()
if(NOT runtime_depends)
  message(FATAL_ERROR "pipeline/TRuntimeLibrary.h: no run-time library found")
endif()
list(REMOVE_DUPLICATES runtime_depends)
list(REMOVE_DUPLICATES runtime_recommends)
# Beyond the libraries: the Tahoma the skins are drawn for, Qt's X11 platform plugin (the
# player cannot open a window without it); the signs Tahoma lacks.
list(APPEND runtime_depends fonts-wine qt6-qpa-plugins)
list(APPEND runtime_recommends fonts-symbola)
set(TARVIO_PACKAGE_DEPENDS ${runtime_depends} CACHE INTERNAL "")
set(TARVIO_PACKAGE_RECOMMENDS ${runtime_recommends} CACHE INTERNAL "")

# ---- Files of the package besides the programs and libraries ----
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tarvio)
set(pkg_dir ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${pkg_dir})
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${pkg_dir}/changelog @ONLY)
# Compressed as Debian wants them: gzip -9 -n (no name or time stamp, so the bytes repeat).
add_custom_command(OUTPUT ${pkg_dir}/changelog.gz
  COMMAND gzip -9nc ${pkg_dir}/changelog > ${pkg_dir}/changelog.gz
  DEPENDS ${pkg_dir}/changelog VERBATIM)
add_custom_command(OUTPUT ${pkg_dir}/tarvio.1.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/tarvio.1 > ${pkg_dir}/tarvio.1.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/tarvio.1 VERBATIM)
# tarvio-cli(1) is the program's own --help, so the two say the same.
add_custom_command(OUTPUT ${pkg_dir}/tarvio-cli.1.gz
  COMMAND ${PROJECT_SOURCE_DIR}/tools/help-to-man $<TARGET_FILE:tarvio-cli> ${PROJECT_VERSION} > ${pkg_dir}/tarvio-cli.1
  COMMAND gzip -9nf ${pkg_dir}/tarvio-cli.1
  DEPENDS tarvio-cli ${PROJECT_SOURCE_DIR}/tools/help-to-man VERBATIM)
add_custom_target(tarvio_package_files ALL
  DEPENDS ${pkg_dir}/changelog.gz ${pkg_dir}/tarvio.1.gz ${pkg_dir}/tarvio-cli.1.gz)

install(FILES ${pkg_dir}/tarvio.1.gz ${pkg_dir}/tarvio-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${pkg_dir}/changelog.gz DESTINATION ${doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/demo/config.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvio)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/Skins DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvio)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvio.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvio/kiosk)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tarvio.service DESTINATION lib/systemd/user)

# ---- CPack ----
string(REPLACE ";" ", " deb_depends "${runtime_depends}")
string(REPLACE ";" ", " deb_recommends "${runtime_recommends}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_PACKAGE_CONTACT "Tarvio developers <tarvio@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "full-screen skinned audio player for an in-car touch screen")
set(CPACK_PACKAGE_DESCRIPTION "Tarvio shows one borderless 640x480 window drawn from pictures: a background,
a skin that carries the transport buttons, eight spectrum bars and the track's
title, artist and length. It plays MP3, Ogg Vorbis, Ogg Opus, FLAC, Monkey's Audio,
WavPack, MP4/AAC, Windows Media Audio, DTS, AC-3 and WAV files from a play
list. The package also holds tarvio-cli, which inspects, decodes, plays and
tags audio files and rips audio CDs, and a systemd user unit that starts the
player as a kiosk.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR}/tarvio)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${deb_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${deb_recommends}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES ON)
# Only what the install rules above and in the folders name (not GoogleTest's).
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/")
include(CPack)
