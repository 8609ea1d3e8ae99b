#ifndef PSM_DATAPATHS_H
#define PSM_DATAPATHS_H

#include <QString>

// Where the agent and its tools find their data: the executable's directory
// followed by "/../data", not normalised, so that an installation can be
// moved as a whole.
QString dataDirectory();
// config.json in the data directory.
QString configFilePath();
// The settings database, database/settings.db in the data directory.
QString settingsDatabasePath();

#endif // PSM_DATAPATHS_H
