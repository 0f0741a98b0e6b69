# A Debian package of the installed bundle:  cmake --build build --target package
# (or cpack --config build/CPackConfig.cmake). Build it from a Release tree without sanitizers.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vantrel-vpn")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Vantrel")
set(CPACK_PACKAGE_CONTACT "Vantrel maintainers <maintainers@vantrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Miravo VPN desktop client (tray application)")
set(CPACK_PACKAGE_DESCRIPTION
    "Drives a rule-based proxy core: writes its configuration, supervises it and points the\n\
desktop's proxy settings at it, or runs it as root through a small launcher (TUN mode).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Qt 6.4 and QCoro 0.8 as in Debian 12 (HttpServer for the demo quota service); the SVG and
# platform plugins are loaded at run time, so they are named here rather than found by the
# shared-library scan. procps provides pkill.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6network6 (>= 6.4), \
libqt6svg6 (>= 6.4), qt6-qpa-plugins (>= 6.4), libqcoro6core0 (>= 0.8), libqcoro6network0 (>= 0.8), \
libqt6httpserver6 (>= 6.4), libyaml-cpp0.7, procps")
# A CJK font for the Chinese interface; gsettings for the GNOME proxy settings; pkexec for the
# one-time TUN authorisation.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, libglib2.0-bin, pkexec")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
