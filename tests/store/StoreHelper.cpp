// A second process for the store tests: writes settings, or holds the store's
// lock file, exactly as another program of the product would.
//
//   store-helper add-many DB PREFIX COUNT    PREFIX-0 .. PREFIX-(COUNT-1); exit = failures
//   store-helper hold-lock MS                takes the lock, prints "locked",
//                                            holds it MS ms (0: until killed)

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
    QTextStream out(stdout);
    const QString command = args.value(0);
    if (command == QLatin1String("add-many") && args.size() == 4) {
        int failures = 0;
        for (int i = 0; i < args.at(3).toInt(); ++i) {
            const QString key = QStringLiteral("%1-%2").arg(args.at(2)).arg(i);
            failures
                += addSetting(args.at(1), SettingsItem{ key, QStringLiteral("v") + key, QStringLiteral("g") }) != 0;
        }
        return failures;
    }
    if (command == QLatin1String("hold-lock") && args.size() == 2) {
        QLockFile lock(QDir::tempPath() + QStringLiteral("/dblockfile"));
        if (!lock.lock()) {
            return 1;
        }
        out << "locked" << Qt::endl;
        const int ms = args.at(1).toInt();
        QThread::msleep(ms > 0 ? static_cast<unsigned long>(ms) : 3600UL * 1000UL);
        return 0;
    }
    QTextStream(stderr) << "store-helper: bad arguments" << Qt::endl;
    return 2;
}
