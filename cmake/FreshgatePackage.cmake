# The publisher's install rules and its Debian package: CMake's install rules are the one
# description of what goes where, and CPack turns them into the .deb (scripts/package runs it).
# The layout follows Debian's policy: compressed manual page and changelog, a machine-readable
# copyright file, the README in the package's own documentation folder.

include(GNUInstallDirs)

set(FRESHGATE_CONTACT "Velmora <support@velmora.example>")
set(FRESHGATE_PACKAGE freshgate-publish)
set(FRESHGATE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${FRESHGATE_PACKAGE})

# Both manual pages carry the version; only the publisher's is installed.
foreach(page freshgate freshgate-publish)
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
endforeach()

if(NOT TARGET freshgate-publish)
    return()
endif()

install(TARGETS freshgate-publish RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${FRESHGATE_DOCDIR})

if(WIN32)
    # The Windows zip gathers its own files (scripts/windows package).
    return()
endif()

# gzip -9n: the same bytes for the same text, whenever it is built.
find_program(FRESHGATE_GZIP gzip REQUIRED)
set(debian ${CMAKE_BINARY_DIR}/debian)
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${debian}/copyright @ONLY)
add_custom_command(OUTPUT ${debian}/freshgate-publish.1.gz ${debian}/changelog.Debian.gz
    COMMAND ${FRESHGATE_GZIP} -9n -c ${CMAKE_BINARY_DIR}/man/freshgate-publish.1
        > ${debian}/freshgate-publish.1.gz
    COMMAND ${FRESHGATE_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
        > ${debian}/changelog.Debian.gz
    DEPENDS ${CMAKE_BINARY_DIR}/man/freshgate-publish.1 ${PROJECT_SOURCE_DIR}/packaging/changelog
    COMMENT "Compressing the manual page and the changelog"
    VERBATIM)
add_custom_target(freshgate_package_docs ALL
    DEPENDS ${debian}/freshgate-publish.1.gz ${debian}/changelog.Debian.gz)
install(FILES ${debian}/freshgate-publish.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${debian}/copyright ${debian}/changelog.Debian.gz DESTINATION ${FRESHGATE_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${FRESHGATE_PACKAGE})
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "${FRESHGATE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "publish updates of Orvane4 for its updater, Freshgate")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "freshgate-publish is the maker's tool for the Freshgate updater of Orvane4.\n"
    "It packs the product's component folders (resource file, data files, help\n"
    "file, program patch or full set-up package) into cabinets, writes the\n"
    "version manifest beside them, optionally signs every file with a minisign\n"
    "key, and swaps the finished folder into the update server's document root\n"
    "in one step.\n"
    ".\n"
    "It is meant for a build server or a maker's machine. The updater itself\n"
    "runs on Windows beside Orvane4 and is not part of this package.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The freshgate package before this one shipped both programs and the publisher's files.
set(CPACK_DEBIAN_PACKAGE_BREAKS "freshgate (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PACKAGE_REPLACES "freshgate (<< ${PROJECT_VERSION})")
# dpkg-shlibdeps names the run-time libraries (Qt Core, libgcab, GLib, libsodium) as the
# machine that builds the package has them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Relocations resolved at start and then made read-only, as Debian builds its own programs.
target_link_options(freshgate-publish PRIVATE -Wl,-z,relro,-z,now)
include(CPack)
