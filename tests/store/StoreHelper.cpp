// A second process for the store tests:
//   store-helper add-many DB PREFIX COUNT   stores PREFIX-0 .. PREFIX-(COUNT-1); exit = failures
//   store-helper hold-lock MS               takes the lock, prints "locked", holds it MS ms (0: until killed)

#include "store/StoreOperations.h"

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>
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
    QLockFile lock(QDir::tempPath() + QStringLiteral("/dblockfile"));
    if (args.value(0) != QLatin1String("hold-lock") || args.size() != 2 || !lock.lock()) {
        return 2;
    }
    QTextStream(stdout) << "locked" << Qt::endl;
    const unsigned long ms = args.at(1).toULong();
    QThread::msleep(ms > 0 ? ms : 3600UL * 1000UL);
    return 0;
}
