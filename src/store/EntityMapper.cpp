#include "store/EntityMapper.h"

#include <QThread>

namespace orm
{

namespace
{
const QString kConnectionPrefix = QStringLiteral("psm_orm_");
}

SqlDatabase& SqlDatabase::instance()
{
    static SqlDatabase settings;
    return settings;
}

void SqlDatabase::setDriverName(const QString& name)
{
    QMutexLocker lock(&m_mutex);
    m_driverName = name;
}

void SqlDatabase::setDatabaseName(const QString& name)
{
    QMutexLocker lock(&m_mutex);
    m_databaseName = name;
}

void SqlDatabase::setHostName(const QString& name)
{
    QMutexLocker lock(&m_mutex);
    m_hostName = name;
}

void SqlDatabase::setUserName(const QString& name)
{
    QMutexLocker lock(&m_mutex);
    m_userName = name;
}

void SqlDatabase::setPassword(const QString& password)
{
    QMutexLocker lock(&m_mutex);
    m_password = password;
}

QSqlDatabase SqlDatabase::database(QSqlError& error)
{
    QMutexLocker lock(&m_mutex);
    // A connection belongs to the thread that made it.
    const QString name = kConnectionPrefix + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()));
    QSqlDatabase db = QSqlDatabase::database(name, false);
    const bool current = db.isValid() && db.driverName() == m_driverName && db.databaseName() == m_databaseName
        && db.hostName() == m_hostName && db.userName() == m_userName && db.password() == m_password;
    if (current && db.isOpen()) {
        return db;
    }
    if (!current) {
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        db = QSqlDatabase::addDatabase(m_driverName, name);
        db.setDatabaseName(m_databaseName);
        db.setHostName(m_hostName);
        db.setUserName(m_userName);
        db.setPassword(m_password);
    }
    if (!db.open()) {
        error = db.lastError();
    }
    return db;
}

void SqlDatabase::closeAllDatabases()
{
    // Removing a connection closes it once no handle to it is left.
    for (const QString& name : QSqlDatabase::connectionNames()) {
        if (name.startsWith(kConnectionPrefix)) {
            QSqlDatabase::removeDatabase(name);
        }
    }
}

} // namespace orm
