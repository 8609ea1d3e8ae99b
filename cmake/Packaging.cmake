# Installation and the Debian package.
#
# An installation is one prefix holding bin/ and data/, because the agent
# finds its data as its executable's directory followed by "/../data". The
# folders install their own targets and files (component "runtime"); the
# settings database is made at install time by data/ (component
# "settingsdb"). This file adds the desktop integration and the package.
#
#   cmake --install build                      # to /opt/printer-status-monitor
#   cmake --install build --prefix ~/psm       # anywhere else
#   cd build && cpack -G DEB                   # printer-status-monitor_<version>-1_<arch>.deb

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /opt/printer-status-monitor CACHE PATH "Installation prefix" FORCE)
endif()

set(PSM_AUTOSTART_DIR "" CACHE PATH
    "Where to install the autostart entry (empty: /etc/xdg/autostart for /opt/*, /usr and /usr/local, else <prefix>/etc/xdg/autostart)")

# Menu entry, icon and autostart entry, made for the prefix given at install
# time (see InstallDesktopEntries.cmake for where they go).
install(CODE "
    set(PSM_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
    set(PSM_BINARY_DIR \"${PROJECT_BINARY_DIR}\")
    set(PSM_AUTOSTART_DIR \"${PSM_AUTOSTART_DIR}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/InstallDesktopEntries.cmake\")"
    COMPONENT runtime)

# The Debian package. It holds the "runtime" component only: settings.db is
# users' data, so the package does not ship one (dpkg would replace it on
# every upgrade); its postinst creates it when missing and its postrm
# deletes it on purge. /etc/printer-status-monitor/config.json (linked from
# data/) and the autostart entry are conffiles, so an administrator's edits
# survive upgrades.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME printer-status-monitor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Printer status monitor developers")
set(CPACK_PACKAGE_CONTACT "Printer status monitor developers <printer-status-monitor@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "打印机状态监视器 - tray agent that watches Ostrel printers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "托盘程序：登录后自动运行，发现CUPS打印队列和USB总线上的打印机，\n"
    "查询每台打印机的状态和墨粉余量，在监视窗口和托盘消息中显示。\n"
    "\n"
    "A tray agent that runs after login, finds the maker's printers among the\n"
    "CUPS queues and on the USB bus, polls their status and toner over the\n"
    "printers' private channel and shows them in a monitor window and tray\n"
    "messages. It keeps its settings in an encrypted database.")
if(NOT DEFINED CPACK_PACKAGING_INSTALL_PREFIX)
    # The package always uses the /opt layout; the conffiles below assume
    # a prefix whose autostart entry goes to /etc/xdg/autostart.
    set(CPACK_PACKAGING_INSTALL_PREFIX /opt/printer-status-monitor)
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};runtime;/"
                                 "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 2)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# bin/wqy-zenhei.ttf links to this package's font; Qt's Wayland platform
# runs the agent in a Wayland session that has no X server.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-zenhei, qtwayland5")

set(_psm_debian "${PROJECT_BINARY_DIR}/debian")
foreach(script preinst postinst postrm conffiles)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${_psm_debian}/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_psm_debian}/preinst ${_psm_debian}/postinst ${_psm_debian}/postrm ${_psm_debian}/conffiles)

# The package's own files (config.json in /etc, the metrics and exporter
# units, manual pages, bash completion, copyright, changelog, lintian overrides), added by CPack only: a plain cmake --install
# writes nothing outside its prefix for them.
set(PSM_PACKAGE_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
foreach(unit printer-status-metrics printer-status-exporter)
    configure_file(${PROJECT_SOURCE_DIR}/data/${unit}.service.in ${_psm_debian}/${unit}.service @ONLY)
endforeach()
# Manual pages, compressed as Debian wants them.
foreach(page printer-status printer-status-monitor)
    execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/data/man/${page}.1 OUTPUT_FILE ${_psm_debian}/${page}.1.gz
                    RESULT_VARIABLE _psm_gzip)
    if(NOT _psm_gzip EQUAL 0)
        message(FATAL_ERROR "gzip failed on data/man/${page}.1")
    endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${_psm_debian}/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${_psm_debian}/copyright @ONLY)
file(READ ${PROJECT_SOURCE_DIR}/data/LICENCE.txt _psm_notices)
file(APPEND ${_psm_debian}/copyright "${_psm_notices}")
# Debian wants the changelog compressed at maximum, without a time stamp.
execute_process(COMMAND gzip -9nc ${_psm_debian}/changelog OUTPUT_FILE ${_psm_debian}/changelog.Debian.gz
                RESULT_VARIABLE _psm_gzip)
if(NOT _psm_gzip EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${_psm_debian}/changelog")
endif()
install(CODE "
    set(PSM_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
    set(PSM_DEBIAN_DIR \"${_psm_debian}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/InstallDebianFiles.cmake\")"
    COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
