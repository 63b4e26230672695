# cmake/install.cmake: what `cmake --install` puts where, and the Debian package `cpack -G DEB`
# makes of it. Included at the end of the top CMakeLists.txt, after the targets exist.
include(GNUInstallDirs)

# The programs: kivet32, pasel32 as a symbolic link to it (the mode comes from the name), devsim.
install(TARGETS kivet32 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/pasel32 DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET devsim)
    install(TARGETS devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The package's maintainer, in the Debian control file and changelog: whoever builds a package to
# hand on sets their own name and address.
set(KIVET_MAINTAINER "The kivet32 developers <kivet32@example.org>"
    CACHE STRING "The Debian package's maintainer: Name <address>")
set(KIVET_DEB_RELEASE 1)

# The manual pages with the project's version, the changelog and the Debian changelog, compressed
# as Debian wants them (cmake/package-docs.cmake); pasel32.1.gz is a link to kivet32.1.gz.
set(KIVET_PKG_DOCS ${CMAKE_BINARY_DIR}/pkgdocs)
set(KIVET_MAN_GZ ${KIVET_PKG_DOCS}/man1/kivet32.1.gz ${KIVET_PKG_DOCS}/man1/pasel32.1.gz
                 ${KIVET_PKG_DOCS}/man1/devsim.1.gz)
set(KIVET_MAN_SRC ${CMAKE_SOURCE_DIR}/docs/man/kivet32.1 ${CMAKE_SOURCE_DIR}/docs/man/devsim.1)
add_custom_command(
    OUTPUT ${KIVET_MAN_GZ} ${KIVET_PKG_DOCS}/changelog.gz ${KIVET_PKG_DOCS}/changelog.Debian.gz
    COMMAND ${CMAKE_COMMAND} -DSRC=${CMAKE_SOURCE_DIR} -DOUT=${KIVET_PKG_DOCS}
            -DVERSION=${PROJECT_VERSION} -DDEB_RELEASE=${KIVET_DEB_RELEASE}
            "-DMAINTAINER=${KIVET_MAINTAINER}" -P ${CMAKE_SOURCE_DIR}/cmake/package-docs.cmake
    DEPENDS ${KIVET_MAN_SRC} ${CMAKE_SOURCE_DIR}/CHANGELOG.md
            ${CMAKE_SOURCE_DIR}/cmake/package-docs.cmake
    COMMENT "Manual pages and changelogs, compressed" VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${KIVET_MAN_GZ} ${KIVET_PKG_DOCS}/changelog.gz
                                           ${KIVET_PKG_DOCS}/changelog.Debian.gz)
install(FILES ${KIVET_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KIVET_PKG_DOCS}/changelog.gz ${KIVET_PKG_DOCS}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What lintian is told not to ask of a package that Debian's archive never sees.
install(FILES cmake/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME kivet32)

# Bash completion, found by the command's name; pasel32 takes the same arguments.
set(KIVET_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES scripts/completion.bash DESTINATION ${KIVET_COMPLETION_DIR} RENAME kivet32)
install(FILES scripts/completion.bash DESTINATION ${KIVET_COMPLETION_DIR} RENAME pasel32)

# The README and the design notes.
file(GLOB KIVET_DOCS CONFIGURE_DEPENDS docs/*.md)
install(FILES README.md ${KIVET_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES tools/devsim/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME devsim.md)
# The licence, where Debian keeps a package's copyright.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

# The Debian package: cpack -G DEB in the build directory.
set(CPACK_PACKAGE_NAME kivet32)
set(CPACK_PACKAGE_VENDOR kivet32)
set(CPACK_PACKAGE_CONTACT "${KIVET_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KIVET_DEB_RELEASE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "serial-port host of an embedded device: terminal, file service, file transfer")
set(CPACK_PACKAGE_DESCRIPTION
    "kivet32 (also run as pasel32) is a console terminal for an embedded device on
a serial port that also serves the device's files: in KIVET mode the device
opens, reads and writes files on the PC with in-band commands in its byte
stream; in PASEL mode framed, checksummed packets move whole files either way,
with a progress line. It also sends files to the device on request or on a
schedule, logs and captures the device's text with optional time stamps, and
comes with devsim, an emulated device on a pseudo-terminal to try it without
hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dependencies from dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
include(CPack)
