#include "store/TblSettings.h"

#include "sqlcipher/SqlCipherDriver.h"

template <> void orm::registerClass(orm::EntityClass<TblSettings>& entity)
{
    entity.setName(QStringLiteral("tbl_settings"));
    entity.id(&TblSettings::id, QStringLiteral("id"));
    entity.data(&TblSettings::key, QStringLiteral("key"));
    entity.data(&TblSettings::value, QStringLiteral("value"));
    // GROUP is an SQL keyword.
    entity.data(&TblSettings::group, QStringLiteral("\"group\""));
}

void setDatabaseFile(const QString& path)
{
    // The driver is linked into the program, not loaded as a plugin.
    registerSqlCipherDriver();
    orm::SqlDatabase& settings = orm::SqlDatabase::instance();
    settings.setDriverName(QLatin1String(kSqlCipherDriverName));
    settings.setDatabaseName(path);
    settings.setHostName(QStringLiteral("localhost"));
    settings.setUserName(QStringLiteral("root"));
    settings.setPassword(QLatin1String(kSettingsDatabaseKey));
}
