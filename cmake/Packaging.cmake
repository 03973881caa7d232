# Debian package of the installed tree: `cpack -G DEB` in a build directory.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Talvik service tools team")
set(CPACK_PACKAGE_CONTACT "Talvik service tools team <service-tools@talvik.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service tool for RFID readers on an RS485 bus")
# Debian wants the long description wrapped; CPack indents each line.
set(CPACK_PACKAGE_DESCRIPTION "Desktop tool for RFID reader devices on an RS485 bus, reached
through a serial adapter or a network serial server (RFC 2217 or raw
TCP): it scans the bus for devices, reads and writes their settings,
reboots or resets them and flashes new firmware through their
bootloader. A command-line program does the same for scripts, and a bus
simulator on a pseudo-terminal (talvik-bus-sim) is included for trying
the tools without hardware.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(TALVIK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TALVIK_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
elseif(TALVIK_QT_MAJOR EQUAL 5)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt5widgets5 (>= 5.15), libqt5serialport5 (>= 5.15), libqt5gui5 (>= 5.15), \
libqt5core5a (>= 5.15), libstdc++6, libc6")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6 (>= 6.2), libqt6serialport6 (>= 6.2), libqt6gui6 (>= 6.2), \
libqt6core6 (>= 6.2), libstdc++6, libc6")
endif()

# Debian's place for them; the changelog is the native package's own.
set(TALVIK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${TALVIK_DOC_DIR})
find_program(TALVIK_GZIP gzip)
if(TALVIK_GZIP)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
        COMMAND ${TALVIK_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/data/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
        DEPENDS ${PROJECT_SOURCE_DIR}/data/changelog VERBATIM)
    add_custom_target(talvik_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${TALVIK_DOC_DIR})
endif()
configure_file(${PROJECT_SOURCE_DIR}/data/invalid.talvik.ota_tool.metainfo.xml.in
    ${CMAKE_BINARY_DIR}/invalid.talvik.ota_tool.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/invalid.talvik.ota_tool.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The site's trusted keys for firmware images, empty until an administrator installs one: /etc
# beside a /usr prefix as Debian has it (the package), PREFIX/etc in a staging tree.
install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(talvik_etc /etc)
    else()
        set(talvik_etc "${CMAKE_INSTALL_PREFIX}/etc")
    endif()
    file(MAKE_DIRECTORY "$ENV{DESTDIR}${talvik_etc}/talvik-ota-tool/trusted-keys")
]])

include(CPack)
