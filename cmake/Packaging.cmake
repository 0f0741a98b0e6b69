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
# The shared-library scan declares the libraries the programs link: Qt 6 (Core, Gui, Widgets,
# Network, Svg with its icon engine, HttpServer for the demo quota service), QCoro 6, yaml-cpp and
# the C++ runtime. Named here is what is only loaded or run at run time, invisible to the scan:
# the platform plugins and pkill (procps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins (>= 6.4), procps")
# A CJK font for the Chinese interface; gsettings for the GNOME proxy settings; pkexec for the
# one-time TUN authorisation.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, libglib2.0-bin, pkexec, qt6-translations-l10n")

include(CPack)
