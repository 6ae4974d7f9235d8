# A Debian package: cpack -G DEB in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qmvigilorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillmere Computer Services and Software")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Quillmere Vigilorn lives in the notification area and watches the running\n\
processes. When an installer starts it reminds you to create a restore point,\n\
and can create one at once: a snapper snapshot where snapper is set up, else a\n\
snapshot of your configuration folder.")
set(CPACK_PACKAGE_CONTACT "Quillmere Computer Services and Software <vigilorn@quillmere.com>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillmere Computer Services and Software <vigilorn@quillmere.com>")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.quillmere.com/vigilorn/")
# Debian ships programs without their symbols.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The program, the hook snippets and the polkit actions name the paths the build was configured
# for, so the package installs there and nowhere else; cpack refuses a build whose paths are not
# the ones APT, dpkg and polkit read (PackageCheck.cmake).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackageCheck.cmake)
set(CPACK_VIGILORN_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(CPACK_VIGILORN_DATADIR ${CMAKE_INSTALL_FULL_DATADIR})
# With the root side installed, an ordinary user's points and restores go through pkexec, which
# asks the polkit daemon: without them the Restore Points window can only fail.
set(VIGILORN_ROOT_SIDE_DEPENDS "pkexec, polkitd")
# Libraries from dpkg-shlibdeps; the platform plugin is loaded at run time, so it is named.
find_program(VIGILORN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VIGILORN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, ${VIGILORN_ROOT_SIDE_DEPENDS}")
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6, libqt6gui6, libqt6core6, libqt6dbus6, libqt6network6, libgit2-1.5, zlib1g, libxcb1, qt6-qpa-plugins, ${VIGILORN_ROOT_SIDE_DEPENDS}")
endif()
# The root side keeps a replaced package's installed version, rebuilt when APT has no copy.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dpkg-repack")
# The hook snippets (src/system) are the administrator's to edit: dpkg keeps their changes.
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/apt/apt.conf.d/80qmvigilorn\n"
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/dpkg/dpkg.cfg.d/qmvigilorn\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)
include(CPack)
