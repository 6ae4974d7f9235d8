# Read by cpack before it packages. A .deb whose hook snippets or polkit actions lie where APT,
# dpkg and polkit never look would install a program that only seems to work: refuse it.
if(CPACK_GENERATOR STREQUAL "DEB")
    if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr"
       OR NOT CPACK_VIGILORN_SYSCONFDIR STREQUAL "/etc"
       OR NOT CPACK_VIGILORN_DATADIR STREQUAL "/usr/share")
        message(FATAL_ERROR
            "This build is for ${CPACK_PACKAGING_INSTALL_PREFIX} (configuration in "
            "${CPACK_VIGILORN_SYSCONFDIR}, data in ${CPACK_VIGILORN_DATADIR}); a Debian package "
            "installs under /usr, with its configuration in /etc, where APT, dpkg and polkit read "
            "it. Configure with -DCMAKE_INSTALL_PREFIX=/usr and without CMAKE_INSTALL_SYSCONFDIR "
            "or CMAKE_INSTALL_DATADIR (or with a preset: cmake --preset release), then run cpack "
            "again.")
    endif()
endif()
