# Two Debian packages from one build:  cmake --build build --target package
# (or cpack --config build/CPackConfig.cmake). Build them from a Release tree without sanitizers.
#   vantrel-vpn           the application, the TUN launcher and its authorisation, vantrel-config,
#                         desktop entry, icon, metainfo, manual pages
#   vantrel-vpn-devtools  the loopback development core (installed as the core when the build was
#                         given no real one) and the demo quota service
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vantrel-vpn")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Vantrel")
set(CPACK_PACKAGE_CONTACT "Vantrel maintainers <maintainers@vantrel.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Application DevTools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vantrel.example/")
# The shared-library scan declares, per package, the libraries its programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_APPLICATION_PACKAGE_NAME "vantrel-vpn")
set(CPACK_DEBIAN_APPLICATION_PACKAGE_SECTION "net")
# Named here is what is only loaded or run at run time, invisible to the scan: the platform
# plugins, pkill (procps) and setcap (libcap2-bin, run by the TUN authorisation).
set(CPACK_DEBIAN_APPLICATION_PACKAGE_DEPENDS "qt6-qpa-plugins (>= 6.4), procps, libcap2-bin")
# A CJK font for the Chinese interface; Qt's own Chinese texts; gsettings for the GNOME proxy
# settings; pkexec for the one-time TUN authorisation.
set(CPACK_DEBIAN_APPLICATION_PACKAGE_RECOMMENDS
    "fonts-noto-cjk, qt6-translations-l10n, libglib2.0-bin, pkexec")
set(CPACK_DEBIAN_APPLICATION_DESCRIPTION
    "Miravo VPN desktop client (tray application)
Miravo VPN lives in the tray and one small window (interface in Simplified
Chinese). It writes the configuration of a rule-based proxy core, starts and
supervises it, and points the desktop's proxy settings at it, or runs it with
network privileges through a small launcher (TUN mode). It shows live speed,
latency, recent connections, custom rules and the account's monthly quota.")

set(CPACK_DEBIAN_DEVTOOLS_PACKAGE_NAME "vantrel-vpn-devtools")
set(CPACK_DEBIAN_DEVTOOLS_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_DEVTOOLS_PACKAGE_DEPENDS "vantrel-vpn (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVTOOLS_DESCRIPTION
    "Miravo VPN development core and demo quota service
A loopback stand-in for the proxy core that honours its command line and
controller but never tunnels (every connection goes out directly from this
machine), and a local demo of the quota service. Together with vantrel-vpn
they give a working demonstration without a real core or account. Do not
mistake this package for a VPN.")

include(CPack)
