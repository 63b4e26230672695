# cmake/install.cmake: what `cmake --install` puts where, and the Debian package `cpack -G DEB`
# makes of it. Included at the end of the top CMakeLists.txt, after the targets exist.
include(GNUInstallDirs)

# The programs: kivet32, pasel32 as a symbolic link to it (the mode comes from the name), devsim.
install(TARGETS kivet32 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/pasel32 DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET devsim)
    install(TARGETS devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages: pasel32.1 sources kivet32.1.
install(FILES docs/man/kivet32.1 docs/man/pasel32.1 docs/man/devsim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

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
set(CPACK_PACKAGE_CONTACT "kivet32 developers <kivet32@invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "serial-port host of an embedded device: terminal, file service, file transfer")
set(CPACK_PACKAGE_DESCRIPTION
    "kivet32 (also run as pasel32) is a console terminal for an embedded device on a serial
port that also serves the device's files: in KIVET mode the device opens, reads and
writes files on the PC with in-band commands in its byte stream; in PASEL mode framed,
checksummed packets move whole files either way, with a progress line. It also sends
files to the device on request or on a schedule, logs and captures the device's text
with optional time stamps, and comes with devsim, an emulated device on a
pseudo-terminal to try it without hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dependencies from dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
include(CPack)
