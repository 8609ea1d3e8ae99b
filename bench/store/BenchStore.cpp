// bench-store: latency of the store operations on a real encrypted settings
// database. Every operation opens and closes the file; the key derived from
// the passphrase is kept for the process, so only the first operation on a
// file pays SQLCipher's key derivation, unless prepareSettingsStore() derived
// it beforehand on a worker thread, as the agent does while it starts.
//
//   bench-store [rounds]     (default 20)

#include "sqlcipher/SqlCipherDriver.h"
#include "store/StoreOperations.h"
#include "store/TblSettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <ctime>
#include <functional>
#include <vector>

namespace
{

QTextStream out(stdout);

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Wall time, and the calling thread's CPU time: on a busy machine the
// difference is mostly waiting for the disk (the lock file's and SQLite's
// syncs) or for a core.
void report(const char* name, int rounds, const std::function<void(int)>& operation)
{
    std::vector<double> ms;
    std::vector<double> cpu;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        const double cpuBefore = threadCpuMs();
        timer.start();
        operation(i);
        ms.push_back(timer.nsecsElapsed() / 1e6);
        cpu.push_back(threadCpuMs() - cpuBefore);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    out << QStringLiteral("%1 median %2 ms  min %3 ms  max %4 ms  CPU %5 ms  (%6 rounds)")
               .arg(QLatin1String(name), -42)
               .arg(ms[ms.size() / 2], 0, 'f', 1)
               .arg(ms.front(), 0, 'f', 1)
               .arg(ms.back(), 0, 'f', 1)
               .arg(cpu[cpu.size() / 2], 0, 'f', 1)
               .arg(rounds)
        << Qt::endl;
}

void dropMessages(QtMsgType, const QMessageLogContext&, const QString&) { }

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = std::max(1, app.arguments().value(1, QStringLiteral("20")).toInt());

    QTemporaryDir dir;
    if (!dir.isValid()) {
        return 1;
    }
    // Keeps the benchmark's lock file apart from a running agent's.
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    // Each file gets a salt of its own, hence a key of its own.
    const auto createDatabase = [&dir](const QString& name) {
        const QString path = dir.path() + QLatin1Char('/') + name;
        QProcess tool;
        tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/create-settings-db"), { path });
        return tool.waitForFinished(30000) && tool.exitCode() == 0 ? path : QString();
    };
    const QString db = createDatabase(QStringLiteral("settings.db"));
    const QString warmed = createDatabase(QStringLiteral("warmed.db"));
    if (db.isEmpty() || warmed.isEmpty()) {
        QTextStream(stderr) << "bench-store: create-settings-db failed" << Qt::endl;
        return 1;
    }
    // The log lines are built as in the agent but not written.
    qInstallMessageHandler(dropMessages);
    registerSqlCipherDriver();

    report("first operation on a file (derives key)", 1, [&](int) {
        QString document;
        queryLocalsettings(db, document);
    });
    // The agent's start-up does other work (fonts, translations, the
    // instance handshake) between the warm-up and its settings read.
    prepareSettingsStore(warmed);
    QThread::msleep(200);
    report("first operation after prepareSettingsStore", 1, [&](int) {
        QString document;
        queryLocalsettings(warmed, document);
    });

    report("open with key and close", rounds, [&](int i) {
        const QString name = QStringLiteral("bench-%1").arg(i);
        {
            QSqlDatabase c = QSqlDatabase::addDatabase(QLatin1String(kSqlCipherDriverName), name);
            c.setDatabaseName(db);
            c.setPassword(QLatin1String(kSettingsDatabaseKey));
            c.open();
            c.close();
        }
        QSqlDatabase::removeDatabase(name);
    });
    report("addSetting, new key (insert)", rounds, [&](int i) {
        addSetting(db,
                   SettingsItem{ QStringLiteral("key%1").arg(i), QStringLiteral("value"), QStringLiteral("bench") });
    });
    report("addSetting, stored key (update)", rounds, [&](int i) {
        addSetting(db, SettingsItem{ QStringLiteral("barSize"), QString::number(i), QStringLiteral("barcode") });
    });
    report("queryLocalsettings", rounds, [&](int) {
        QString document;
        queryLocalsettings(db, document);
    });
    report("barcode page save (five addSetting)", rounds, [&](int i) {
        const QString group = QStringLiteral("barcode");
        addSetting(db, SettingsItem{ QStringLiteral("barContent"), QStringLiteral("---Date---"), group });
        addSetting(db, SettingsItem{ QStringLiteral("barPosition"), QStringLiteral("upperLeft"), group });
        addSetting(db, SettingsItem{ QStringLiteral("barHor"), QString::number(i % 26), group });
        addSetting(db, SettingsItem{ QStringLiteral("barVer"), QString::number(i % 5), group });
        addSetting(db, SettingsItem{ QStringLiteral("barSize"), QStringLiteral("1.6"), group });
    });
    return 0;
}
