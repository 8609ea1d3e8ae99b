#ifndef PSM_TBLSETTINGS_H
#define PSM_TBLSETTINGS_H

#include "store/EntityMapper.h"

#include <QString>

// One row of tbl_settings: a named setting, its text and the page or feature
// it belongs to.
class TblSettings
{
public:
    virtual ~TblSettings() = default;

    qint64 id = 0;
    QString key;
    QString value;
    QString group;
};

template <> void orm::registerClass(orm::EntityClass<TblSettings>& entity);

// The encryption key of every settings database file: the connection password.
inline constexpr char kSettingsDatabaseKey[] = "tuvask";

// Points the mapper's connection settings at one settings database file. The
// connection password is the file's encryption key.
void setDatabaseFile(const QString& path);

#endif // PSM_TBLSETTINGS_H
