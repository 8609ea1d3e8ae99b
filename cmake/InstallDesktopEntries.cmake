# Installs the menu entry, its icon and the XDG autostart entry. Runs at
# install time (install(CODE) in Packaging.cmake), so that Exec names the
# prefix really installed to (cmake --install --prefix, or the package's
# prefix under CPack) and so that where the files go can follow that prefix.
#
# Given: CMAKE_INSTALL_PREFIX, PSM_SOURCE_DIR, PSM_BINARY_DIR and
# PSM_AUTOSTART_DIR (empty: chosen below). DESTDIR is honoured by
# file(INSTALL).

set(_psm_prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "(.)/+$" "\\1" _psm_prefix "${_psm_prefix}")

# Desktops read menu entries and icons from $XDG_DATA_DIRS (by default
# /usr/local/share:/usr/share) and start the entries of
# $XDG_CONFIG_DIRS/autostart (by default /etc/xdg/autostart) at login.
if(_psm_prefix MATCHES "^/opt/")
    # /opt/<name> is on neither list: register in /usr/share and /etc/xdg,
    # as software installed under /opt does.
    set(_psm_share /usr/share)
    set(_psm_autostart /etc/xdg/autostart)
elseif(_psm_prefix STREQUAL "/usr" OR _psm_prefix STREQUAL "/usr/local")
    set(_psm_share "${_psm_prefix}/share")
    set(_psm_autostart /etc/xdg/autostart)
else()
    # Any other prefix (a home directory, a staging or test tree): nothing
    # is written outside it. The entries work once linked into
    # ~/.local/share/applications and ~/.config/autostart.
    set(_psm_share "${_psm_prefix}/share")
    set(_psm_autostart "${_psm_prefix}/etc/xdg/autostart")
endif()
if(PSM_AUTOSTART_DIR)
    set(_psm_autostart "${PSM_AUTOSTART_DIR}")
endif()

# Exec: the installed agent, quoted when the path holds characters that the
# desktop entry format reserves; inside the quotes " ` $ take a backslash,
# itself doubled because string values unescape backslashes first.
set(_psm_exec "${_psm_prefix}/bin/printer-status-monitor")
if(_psm_exec MATCHES "[\\\n]")
    message(FATAL_ERROR "A desktop entry cannot name ${_psm_exec}: choose a prefix without backslashes or line breaks")
endif()
string(REPLACE "%" "%%" _psm_exec "${_psm_exec}")
if(_psm_exec MATCHES "[] \t\"'><~|&;$*?#()`[]")
    string(REGEX REPLACE "([\"`$])" "\\\\\\\\\\1" _psm_exec "${_psm_exec}")
    set(_psm_exec "\"${_psm_exec}\"")
endif()
set(PSM_DESKTOP_EXEC "${_psm_exec}")

# Icon: a theme name where icon themes are searched, else the file itself.
set(_psm_icon_dir "${_psm_share}/icons/hicolor/64x64/apps")
if(_psm_share STREQUAL "/usr/share" OR _psm_share STREQUAL "/usr/local/share")
    set(PSM_DESKTOP_ICON printer-status-monitor)
else()
    set(PSM_DESKTOP_ICON "${_psm_icon_dir}/printer-status-monitor.png")
endif()

# Made in the build tree, then installed with file(INSTALL) for DESTDIR, the
# "Installing:" lines and the install manifest. One folder per destination,
# so that two installs from one build do not mix their entries.
string(MD5 _psm_key "$ENV{DESTDIR}|${_psm_prefix}|${_psm_autostart}")
set(_psm_stage "${PSM_BINARY_DIR}/desktop-entries/${_psm_key}")
configure_file("${PSM_SOURCE_DIR}/data/printer-status-monitor.desktop.in"
               "${_psm_stage}/applications/printer-status-monitor.desktop" @ONLY)
configure_file("${PSM_SOURCE_DIR}/data/printer-status-monitor-autostart.desktop.in"
               "${_psm_stage}/autostart/printer-status-monitor.desktop" @ONLY)
configure_file("${PSM_SOURCE_DIR}/src/resources/InstallMessagePush.png"
               "${_psm_stage}/icon/printer-status-monitor.png" COPYONLY)

file(INSTALL DESTINATION "${_psm_share}/applications" TYPE FILE
     FILES "${_psm_stage}/applications/printer-status-monitor.desktop")
file(INSTALL DESTINATION "${_psm_icon_dir}" TYPE FILE
     FILES "${_psm_stage}/icon/printer-status-monitor.png")
file(INSTALL DESTINATION "${_psm_autostart}" TYPE FILE
     FILES "${_psm_stage}/autostart/printer-status-monitor.desktop")

if(NOT _psm_autostart MATCHES "^/etc/xdg/autostart/*$" AND NOT PSM_AUTOSTART_DIR)
    message(STATUS "The agent starts after login once ${_psm_autostart}/printer-status-monitor.desktop "
                   "is copied to ~/.config/autostart")
endif()
