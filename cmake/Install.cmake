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
