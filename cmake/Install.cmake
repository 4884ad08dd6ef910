# `make install` and `make package`: the program and its manual page, in the GNU directories
# under CMAKE_INSTALL_PREFIX (DESTDIR is honoured), and a Debian package made by CPack from the
# same install rules.
configure_file(${PROJECT_SOURCE_DIR}/docs/tonarium.1.in ${PROJECT_BINARY_DIR}/tonarium.1 @ONLY)
install(TARGETS tonarium RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/tonarium.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(NOT WIN32)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME tonarium)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console tone player: a fundamental and its octaves")
    set(CPACK_PACKAGE_DESCRIPTION
        "Tonarium plays through the sound output a tone made of a fundamental and the
octaves above it. Interactively, a Russian-language console dialogue changes
the number of tones and the fundamental frequency while the tone keeps
sounding; with options it plays a set tone for a set time on a chosen ALSA
output or into a sound file, for scripts and test benches.")
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tonarium developers <developers@tonarium.invalid>")
    set(CPACK_DEBIAN_PACKAGE_SECTION sound)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # The library dependencies are computed from the binary (dpkg-shlibdeps).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_STRIP_FILES ON)
    include(CPack)
endif()
