# What `cmake --install` puts beside the programs, and the Debian package CPack makes of it:
#   cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DFWD_TESTS=OFF
#   cmake --build build-pkg && (cd build-pkg && cpack -G DEB)
# gives build-pkg/fwdownload_<version>_<arch>.deb with fwdownload, printer-sim and fwdownload(1).

# The man page, compressed as Debian keeps man pages.
find_program(FWD_GZIP gzip REQUIRED)
set(fwd_man_source ${PROJECT_SOURCE_DIR}/docs/fwdownload.1)
set(fwd_man_page ${PROJECT_BINARY_DIR}/man/fwdownload.1.gz)
add_custom_command(OUTPUT ${fwd_man_page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${FWD_GZIP} -9 -n -c ${fwd_man_source} > ${fwd_man_page}
    DEPENDS ${fwd_man_source}
    COMMENT "Compressing the man page")
add_custom_target(man-page ALL DEPENDS ${fwd_man_page})
install(FILES ${fwd_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(FWD_PACKAGE_MAINTAINER "fwdownload maintainers <fwdownload@localhost>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwdownload)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${FWD_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "upgrade a printer's firmware over a parallel, USB or serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "fwdownload sends a firmware image to a printer on a parallel, USB-printer or serial port: a\n"
    "short prelude, a pause, then a header, the image in 5120-byte blocks and a 16-bit checksum,\n"
    "byte-exact on every kind of port. It shows its progress in a window on a desktop and on the\n"
    "terminal elsewhere, and reports every failure with a message and a non-zero exit status.\n"
    "\n"
    "printer-sim, a simulated printer, receives a download on a pseudo-terminal, a FIFO or from a\n"
    "capture file and checks every byte of it.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # fwdownload_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${FWD_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time dependencies come from the programs' shared libraries (dpkg-shlibdeps, in
# dpkg-dev): libc6, libstdc++6, libgcc-s1 and, with the window, libfltk1.3 and the X libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
