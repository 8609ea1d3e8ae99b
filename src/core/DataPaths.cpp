#include "core/DataPaths.h"

#include <QCoreApplication>

QString dataDirectory()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../data");
}

QString configFilePath()
{
    return dataDirectory() + QStringLiteral("/config.json");
}

QString settingsDatabasePath()
{
    return dataDirectory() + QStringLiteral("/database/settings.db");
}
