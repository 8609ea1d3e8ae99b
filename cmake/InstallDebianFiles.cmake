# The Debian package's own files, added after the "runtime" component was
# installed into the package's staging tree (component "debian", installed by
# CPack only).
#
# Given: CMAKE_INSTALL_PREFIX (the package's prefix), PSM_DEBIAN_DIR (the
# files made by Packaging.cmake) and PSM_SOURCE_DIR. DESTDIR is honoured by
# file(INSTALL).

set(_psm_data "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/data")

# config.json lives in /etc as a conffile, so that local edits survive
# upgrades; the data directory links to it, so the agent and the tools still
# find it beside their database.
file(INSTALL "${PSM_SOURCE_DIR}/data/config.json" DESTINATION /etc/printer-status-monitor)
file(REMOVE "${_psm_data}/config.json")
file(CREATE_LINK /etc/printer-status-monitor/config.json "${_psm_data}/config.json" SYMBOLIC)

# The metrics service and timer, and the exporter: installed, not enabled.
file(INSTALL "${PSM_DEBIAN_DIR}/printer-status-metrics.service" "${PSM_SOURCE_DIR}/data/printer-status-metrics.timer"
             "${PSM_DEBIAN_DIR}/printer-status-exporter.service"
     DESTINATION /lib/systemd/system)
file(INSTALL "${PSM_DEBIAN_DIR}/printer-status.1.gz" "${PSM_DEBIAN_DIR}/printer-status-monitor.1.gz"
     DESTINATION /usr/share/man/man1)
file(INSTALL "${PSM_SOURCE_DIR}/data/printer-status.bash-completion" DESTINATION /usr/share/bash-completion/completions
     RENAME printer-status)

file(INSTALL "${PSM_DEBIAN_DIR}/copyright" "${PSM_DEBIAN_DIR}/changelog.Debian.gz" "${PSM_SOURCE_DIR}/README.md"
             "${PSM_SOURCE_DIR}/data/printer-status-alerts.yml" "${PSM_SOURCE_DIR}/data/printer-status-prometheus.yml"
     DESTINATION /usr/share/doc/printer-status-monitor)
file(INSTALL "${PSM_SOURCE_DIR}/cmake/debian/lintian-overrides" DESTINATION /usr/share/lintian/overrides
     RENAME printer-status-monitor)
