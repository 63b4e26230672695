# cmake/install-windows.cmake: what `cmake --install` puts where on Windows, and the two packages
# cpack makes of it: a ZIP to unpack anywhere and an installer (NSIS, cmake/nsis/NSIS.template.in).
# Everything goes in one folder: the two programs, the README for Windows and the licence, both
# text files with CRLF line ends for Notepad. Included at the end of the top CMakeLists.txt.

# pasel32.exe is kivet32.exe under its second name: copied once kivet32.exe is in place (and
# stripped, with cpack), so that the two stay the same file.
install(TARGETS kivet32 RUNTIME DESTINATION .)
install(CODE [[
    set(kivet_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    message(STATUS "Installing: ${kivet_dir}/pasel32.exe")
    file(COPY_FILE "${kivet_dir}/kivet32.exe" "${kivet_dir}/pasel32.exe")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${kivet_dir}/pasel32.exe")
]])

configure_file(docs/windows/README.txt README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)

# cpack in the build directory makes both: kivet32-<version>-win64.zip and .exe.
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME kivet32)
set(CPACK_PACKAGE_VENDOR "The kivet32 developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "serial-port host of an embedded device: terminal, file service, file transfer")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt)
set(CPACK_STRIP_FILES ON)
# The installer: C:\Program Files\kivet32 unless the user picks another folder, one uninstall
# entry whatever the version, so that a newer version installs over an older one.
list(APPEND CMAKE_MODULE_PATH ${CMAKE_SOURCE_DIR}/cmake/nsis)  # our NSIS.template.in
set(CPACK_PACKAGE_INSTALL_DIRECTORY kivet32)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY kivet32)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME kivet32)
set(CPACK_NSIS_DISPLAY_NAME kivet32)
set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
include(CPack)
