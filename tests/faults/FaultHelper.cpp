// A second process for the fault tests that gets in the store's way:
//
//   faults-helper hold-lock MS        takes the store's lock file
//                                      (TMPDIR/dblockfile), prints "locked",
//                                      holds it MS ms (0: until killed)
//   faults-helper hold-db DB MS        opens the settings database, begins an
//                                      exclusive transaction, inserts a row
//                                      with the key "uncommitted", prints
//                                      "locked", holds it MS ms (0: until
//                                      killed), then rolls it back
#include "sqlcipher/SqlCipherDriver.h"
#include "store/TblSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <QThread>

namespace
{
void hold(int ms)
{
    QThread::msleep(ms > 0 ? static_cast<unsigned long>(ms) : 3600UL * 1000UL);
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QString command = args.value(0);

    if (command == QLatin1String("hold-lock") && args.size() == 2) {
        QLockFile lock(QDir::tempPath() + QStringLiteral("/dblockfile"));
        if (!lock.lock()) {
            return 1;
        }
        out << "locked" << Qt::endl;
        hold(args.at(1).toInt());
        return 0;
    }

    if (command == QLatin1String("hold-db") && args.size() == 3) {
        registerSqlCipherDriver();
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(kSqlCipherDriverName));
        db.setDatabaseName(args.at(1));
        db.setPassword(QLatin1String(kSettingsDatabaseKey));
        if (!db.open()) {
            err << "open: " << db.lastError().text() << Qt::endl;
            return 1;
        }
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("BEGIN EXCLUSIVE"))
            || !query.exec(QStringLiteral(
                "INSERT INTO tbl_settings (key, value, \"group\") VALUES ('uncommitted', 'x', 'faults')"))) {
            err << "lock: " << query.lastError().text() << Qt::endl;
            return 1;
        }
        out << "locked" << Qt::endl;
        hold(args.at(2).toInt());
        query.exec(QStringLiteral("ROLLBACK"));
        return 0;
    }

    err << "faults-helper: bad arguments" << Qt::endl;
    return 2;
}
