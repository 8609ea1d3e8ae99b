# Creates data/database/settings.db in the installed tree with the installed
# create-settings-db. Runs at install time (install(CODE) in data/), after
# bin/ is in place. An existing database is the user's settings: it is kept,
# so installing over an installation is an upgrade. The file is not added to
# the install manifest, so removing the installed files leaves it.
#
# Given: CMAKE_INSTALL_PREFIX. DESTDIR is honoured.

set(_psm_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_psm_db_dir "${_psm_root}/data/database")
set(_psm_db "${_psm_db_dir}/settings.db")

if(EXISTS "${_psm_db}")
    message(STATUS "Keeping: ${_psm_db}")
else()
    file(MAKE_DIRECTORY "${_psm_db_dir}")
    execute_process(COMMAND "${_psm_root}/bin/create-settings-db" "${_psm_db}"
                    RESULT_VARIABLE _psm_result
                    OUTPUT_QUIET
                    ERROR_VARIABLE _psm_error)
    if(NOT _psm_result EQUAL 0)
        message(FATAL_ERROR "Cannot create ${_psm_db}: ${_psm_result} ${_psm_error}")
    endif()
    message(STATUS "Creating: ${_psm_db}")

    # Installed by root, the tree serves every user who logs in, and each
    # one's agent writes the settings (SQLite also needs the directory for
    # its journal). A user's own installation stays private.
    execute_process(COMMAND id -u OUTPUT_VARIABLE _psm_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(_psm_uid STREQUAL "0")
        execute_process(COMMAND chmod 0777 "${_psm_db_dir}")
        execute_process(COMMAND chmod 0666 "${_psm_db}")
    endif()
endif()
