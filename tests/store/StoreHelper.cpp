// A second process for the store tests:
//   store-helper add-many DB PREFIX COUNT   stores PREFIX-0 .. PREFIX-(COUNT-1); exit = failures
//   store-helper hold-lock MS               takes the lock, prints "locked", holds it MS ms (0: until killed)
//   store-helper hold-db PATH MS            holds the database itself in a transaction for MS ms, past the
//                                           lock file (a program with another temporary folder)

#include "sqlcipher/SqlCipherDriver.h"
#include "store/StoreOperations.h"
#include "store/TblSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>
#include <QThread>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("add-many") && args.size() == 4) {
        int failures = 0;
        for (int i = 0; i < args.at(3).toInt(); ++i) {
            const QString key = QStringLiteral("%1-%2").arg(args.at(2)).arg(i);
            failures += addSetting(args.at(1), SettingsItem{ key, key, key }) != 0;
        }
        return failures;
    }
    if (args.value(0) == QLatin1String("hold-db") && args.size() == 3) {
        registerSqlCipherDriver();
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(kSqlCipherDriverName), QStringLiteral("holder"));
        db.setDatabaseName(args.at(1));
        db.setPassword(QLatin1String(kSettingsDatabaseKey));
        QSqlQuery begin(db);
        if (!db.open() || !begin.exec(QStringLiteral("BEGIN EXCLUSIVE"))) {
            return 2;
        }
        QTextStream(stdout) << "locked" << Qt::endl;
        QThread::msleep(args.at(2).toULong());
        return QSqlQuery(db).exec(QStringLiteral("COMMIT")) ? 0 : 3;
    }
    QLockFile lock(QDir::tempPath() + QStringLiteral("/dblockfile"));
    if (args.value(0) != QLatin1String("hold-lock") || args.size() != 2 || !lock.lock()) {
        return 2;
    }
    QTextStream(stdout) << "locked" << Qt::endl;
    const unsigned long ms = args.at(1).toULong();
    QThread::msleep(ms > 0 ? ms : 3600UL * 1000UL);
    return 0;
}
