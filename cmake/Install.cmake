# What a desktop needs besides the executable (its rule sits with the target in src/): the
# help document where the program looks for it, the menu entry and the icons.
include(GNUInstallDirs)

# The program looks beside itself, then here (VIGILORN_DATADIR).
if(EXISTS ${PROJECT_SOURCE_DIR}/assets/help_and_license.rtf)
    install(FILES ${PROJECT_SOURCE_DIR}/assets/help_and_license.rtf
            DESTINATION ${CMAKE_INSTALL_DATADIR}/qmvigilorn)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/assets/qmvigilorn.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# Painted at build time by src/tools/icongen.
foreach(size 16 32 48 64 128 256)
    install(FILES ${VIGILORN_ICON_DIR}/${size}x${size}/apps/qmvigilorn.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# The software centres' description, checked by appstreamcli.
install(FILES ${PROJECT_SOURCE_DIR}/assets/com.quillmere.vigilorn.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The manual page and the package's change log, compressed as Debian wants them; the licence.
find_program(VIGILORN_GZIP gzip REQUIRED)
function(vigilorn_install_gzipped source name destination)
    set(out ${CMAKE_BINARY_DIR}/gz/${name}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
        COMMAND ${CMAKE_COMMAND} -DGZIP=${VIGILORN_GZIP} -DIN=${source} -DOUT=${out}
                -P ${PROJECT_SOURCE_DIR}/cmake/GzipFile.cmake
        DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/GzipFile.cmake
        VERBATIM)
    add_custom_target(gzip_${name} ALL DEPENDS ${out})
    install(FILES ${out} DESTINATION ${destination})
endfunction()
vigilorn_install_gzipped(${PROJECT_SOURCE_DIR}/assets/QMVigilornApp.1 QMVigilornApp.1
                         ${CMAKE_INSTALL_MANDIR}/man1)
if(VIGILORN_PLATFORM STREQUAL "linux")
    vigilorn_install_gzipped(${PROJECT_SOURCE_DIR}/assets/qmvigilorn-system.8 qmvigilorn-system.8
                             ${CMAKE_INSTALL_MANDIR}/man8)
endif()
vigilorn_install_gzipped(${PROJECT_SOURCE_DIR}/assets/debian/changelog changelog
                         ${CMAKE_INSTALL_DATADIR}/doc/qmvigilorn)
install(FILES ${PROJECT_SOURCE_DIR}/assets/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qmvigilorn)
