#include "store/StoreOperations.h"

#include "core/Log.h"
#include "sqlcipher/SqlCipherKeyCache.h"
#include "store/TblSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLockFile>
#include <QThread>
#include <QThreadPool>

namespace
{

// A lock whose owner died, or that is older than this, is taken over.
constexpr int kStaleLockMs = 30000;

QString lockFilePath()
{
    return QDir::tempPath() + QStringLiteral("/dblockfile");
}

// Operations run on the GUI thread: a sibling program that hangs while
// holding the lock, a lock left by another user in the sticky temporary
// folder or a directory at the lock path must not freeze the agent.
constexpr int kLockWaitMs = 5000;
constexpr int kLockRetryMs = 100;

enum class LockOutcome {
    Taken,
    Busy, // held by someone else for the whole wait
    NoLockFile, // the lock file cannot be made at all
};

LockOutcome takeLock(QLockFile& lock)
{
    lock.setStaleLockTime(kStaleLockMs);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        // Each try also takes over a lock whose owner died or that aged.
        if (lock.tryLock(0)) {
            return LockOutcome::Taken;
        }
        if (lock.error() != QLockFile::LockFailedError) {
            return LockOutcome::NoLockFile;
        }
        const qint64 left = kLockWaitMs - waited.elapsed();
        if (left <= 0) {
            return LockOutcome::Busy;
        }
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(kLockRetryMs, left)));
    }
}

const char* lockFailureText(const QString& path)
{
    return QFileInfo::exists(path) ? "文件存在" : "文件不存在";
}

QSqlError lockBusyError()
{
    return QSqlError(QStringLiteral("(waited %1 ms)").arg(kLockWaitMs),
                     QStringLiteral("the settings lock file is held by another process"), QSqlError::ConnectionError);
}

// A JSON string literal; characters beyond ASCII stay as they are (UTF-8).
QString jsonString(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\f':
            out += QLatin1String("\\f");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20) {
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            } else {
                out += c;
            }
        }
    }
    out += QLatin1Char('"');
    return out;
}

// {"resultCode":code,"result":[{"key":..,"value":..,"group":..},..]}, compact,
// members in this order.
QString resultDocument(int resultCode, const QList<TblSettings>& rows)
{
    QString out = QStringLiteral("{\"resultCode\":%1,\"result\":[").arg(resultCode);
    for (int i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            out += QLatin1Char(',');
        }
        const TblSettings& row = rows.at(i);
        out += QStringLiteral("{\"key\":") + jsonString(row.key) + QStringLiteral(",\"value\":") + jsonString(row.value)
            + QStringLiteral(",\"group\":") + jsonString(row.group) + QLatin1Char('}');
    }
    out += QStringLiteral("]}");
    return out;
}

} // namespace

int queryLocalsettings(const QString& dbPath, QString& output)
{
    const QString lockPath = lockFilePath();
    PSM_LOG << "queryLocalsettings" << lockPath;
    QList<TblSettings> rows;
    QSqlError error;
    {
        QLockFile lock(lockPath);
        const LockOutcome locked = takeLock(lock);
        if (locked == LockOutcome::Taken) {
            PSM_LOG << "lock success";
        } else {
            PSM_LOG << lockFailureText(lockPath);
        }
        // Without a lock file at all the siblings cannot lock either: go on.
        // A lock held all along belongs to someone else, who may be writing.
        if (locked != LockOutcome::Busy) {
            setDatabaseFile(dbPath);
            error = orm::fetchByQuery(orm::SqlQuery(), rows);
            orm::SqlDatabase::closeAllDatabases();
        } else {
            error = lockBusyError();
        }
    }
    // A failed read is not an empty table: the caller must not take it as one.
    int resultCode = 0;
    if (error.isValid()) {
        PSM_LOG << "query settings failed" << error.text();
        rows.clear();
        resultCode = 1;
    }
    output = resultDocument(resultCode, rows);
    return 0;
}

int addSetting(const QString& dbPath, const SettingsItem& item)
{
    const QString lockPath = lockFilePath();
    PSM_LOG << "addSetting" << lockPath;
    QSqlError error;
    {
        QLockFile lock(lockPath);
        const LockOutcome locked = takeLock(lock);
        if (locked == LockOutcome::Taken) {
            PSM_LOG << "lock settings table success";
        } else {
            PSM_LOG << lockFailureText(lockPath);
        }
        if (locked == LockOutcome::Busy) {
            PSM_LOG << "add setting failed" << item.key << lockBusyError().text();
            return -1;
        }
        setDatabaseFile(dbPath);
        QList<TblSettings> rows;
        error = orm::fetchByQuery(orm::SqlQuery::whereEquals(QStringLiteral("tbl_settings.key"), item.key), rows);
        if (!error.isValid()) {
            if (rows.isEmpty()) {
                TblSettings row;
                row.key = item.key;
                row.value = item.value;
                row.group = item.group;
                PSM_LOG << "add log";
                error = orm::insert(row);
                PSM_LOG << "add log 1";
            } else {
                // Only the value changes; the stored key, group and id stay.
                TblSettings row = rows.first();
                row.value = item.value;
                error = orm::updateById(row);
            }
        }
        orm::SqlDatabase::closeAllDatabases();
    }
    if (error.isValid()) {
        PSM_LOG << "add setting failed" << item.key << error.text();
        return -1;
    }
    return 0;
}

void prepareSettingsStore(const QString& dbPath)
{
    QThreadPool::globalInstance()->start(
        [dbPath] { SqlCipherKeyCache::rawKey(dbPath, QByteArray(kSettingsDatabaseKey)); });
}
