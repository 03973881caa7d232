# Manual pages, gzipped as Debian wants them: the window's is written by hand (it has no --help),
# the command-line programs' are made from their --help and --version by help2man, so that they
# cannot drift from what the programs print. Without both tools there are no pages at all.
find_program(TALVIK_GZIP gzip)
find_program(TALVIK_HELP2MAN help2man)
if(NOT TALVIK_GZIP OR NOT TALVIK_HELP2MAN)
    message(WARNING "help2man or gzip not found: no manual pages")
    return()
endif()

set(TALVIK_MAN_DIR ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${TALVIK_MAN_DIR})
set(TALVIK_MAN_PAGES)

function(talvik_gzip_page page)
    add_custom_command(OUTPUT ${TALVIK_MAN_DIR}/${page}.gz
        COMMAND ${TALVIK_GZIP} -9n -c ${TALVIK_MAN_DIR}/${page} > ${TALVIK_MAN_DIR}/${page}.gz
        DEPENDS ${TALVIK_MAN_DIR}/${page} VERBATIM)
    set(TALVIK_MAN_PAGES ${TALVIK_MAN_PAGES} ${TALVIK_MAN_DIR}/${page}.gz PARENT_SCOPE)
endfunction()

configure_file(${PROJECT_SOURCE_DIR}/docs/man/talvik-ota-tool.1.in
    ${TALVIK_MAN_DIR}/talvik-ota-tool.1 @ONLY)
talvik_gzip_page(talvik-ota-tool.1)

# The program runs from PATH so that its usage line names it, not the build directory.
function(talvik_help2man_page target summary)
    add_custom_command(OUTPUT ${TALVIK_MAN_DIR}/${target}.1
        COMMAND ${CMAKE_COMMAND} -E env "PATH=$<TARGET_FILE_DIR:${target}>:$ENV{PATH}"
            QT_QPA_PLATFORM=offscreen
            ${TALVIK_HELP2MAN} --no-info --section=1 --name=${summary}
            --include=${PROJECT_SOURCE_DIR}/docs/man/${target}.h2m
            --output=${TALVIK_MAN_DIR}/${target}.1 ${target}
        DEPENDS ${target} ${PROJECT_SOURCE_DIR}/docs/man/${target}.h2m VERBATIM)
    talvik_gzip_page(${target}.1)
    set(TALVIK_MAN_PAGES ${TALVIK_MAN_PAGES} PARENT_SCOPE)
endfunction()

if(TARGET talvik-bus-sim)
    talvik_help2man_page(talvik-bus-sim "simulated RS485 bus of RFID readers on a pseudo-terminal")
endif()
talvik_help2man_page(talvik-ota-cli "RFID reader operations on an RS485 bus, for scripts")

add_custom_target(talvik_man_pages ALL DEPENDS ${TALVIK_MAN_PAGES})
install(FILES ${TALVIK_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
