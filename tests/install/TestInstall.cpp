// The installed tree: cmake --install into a temporary prefix (with a blank
// in its path, as desktop entries must quote such a path), then the
// installed agent and tools run from there.

#include "TestPorts.h"
#include "sqlcipher/SqlCipherDriver.h"
#include "store/StoreOperations.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace
{

struct Run {
    int exitCode = -1;
    QString output;
};

Run run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    Run result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        result.output = QStringLiteral("timed out: ") + program;
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromUtf8(process.readAll());
    return result;
}

Run install(const QString& prefix, const QStringList& extra = {})
{
    return run(QStringLiteral(PSM_CMAKE_COMMAND),
               QStringList{ "--install", PSM_BUILD_DIR, "--prefix", prefix } + extra);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The value of key in a desktop entry's [Desktop Entry] group.
QString desktopValue(const QString& path, const QString& key)
{
    const QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(key + QLatin1Char('='))) {
            return line.mid(key.size() + 1);
        }
    }
    return QString();
}

// Reads the process's output until text shows up, it ends or time runs out;
// everything read is appended to seen.
bool waitForOutput(QProcess& process, QByteArray& seen, const QByteArray& text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(100);
        seen += process.readAll();
        if (seen.contains(text)) {
            return true;
        }
        if (process.state() == QProcess::NotRunning) {
            return false;
        }
    }
    return false;
}

} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void layout_data();
    void layout();
    void dataFilesMatchSources();
    void databaseOpenToUsersOnlyWhenRootInstalled();
    void desktopEntries_data();
    void desktopEntries();
    void desktopEntriesValidate();
    void agentStarts_data();
    void agentStarts();
    void statusToolRuns();
    void reinstallKeepsSettings();
    void packageComponentHasNoDatabase();
    void debianPackage();
    void exampleAlertRules();

private:
    QString path(const QString& relative) const { return m_prefix + QLatin1Char('/') + relative; }
    QString databasePath() const { return path("data/database/settings.db"); }

    QTemporaryDir m_root{ QDir::tempPath() + QStringLiteral("/psm install-XXXXXX") };
    QString m_prefix;
};

void TestInstall::initTestCase()
{
    QVERIFY(m_root.isValid());
    // The store's lock file lies in the temporary directory: keep this
    // run's, and its agents', apart from the machine's.
    const QString tmp = m_root.filePath("tmp");
    QVERIFY(QDir().mkpath(tmp));
    qputenv("TMPDIR", QFile::encodeName(tmp));
    registerSqlCipherDriver();

    m_prefix = m_root.filePath("opt/printer status monitor");
    const Run result = install(m_prefix);
    QVERIFY2(result.exitCode == 0, qPrintable(result.output));
    QVERIFY2(result.output.contains("Creating: " + databasePath()), qPrintable(result.output));
}

void TestInstall::layout_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("executable");
    QTest::newRow("agent") << "bin/printer-status-monitor" << true;
    QTest::newRow("status tool") << "bin/printer-status" << true;
    QTest::newRow("database tool") << "bin/create-settings-db" << true;
    QTest::newRow("config") << "data/config.json" << false;
    QTest::newRow("licence") << "data/LICENCE.txt" << false;
    QTest::newRow("database") << "data/database/settings.db" << false;
    QTest::newRow("menu entry") << "share/applications/printer-status-monitor.desktop" << false;
    QTest::newRow("icon") << "share/icons/hicolor/64x64/apps/printer-status-monitor.png" << false;
    // Outside /opt, /usr and /usr/local nothing is written outside the prefix.
    QTest::newRow("autostart entry") << "etc/xdg/autostart/printer-status-monitor.desktop" << false;
}

void TestInstall::layout()
{
    QFETCH(QString, file);
    QFETCH(bool, executable);
    const QFileInfo info(path(file));
    QVERIFY2(info.isFile(), qPrintable(info.filePath()));
    QVERIFY(info.size() > 0);
    QCOMPARE(info.isExecutable(), executable);
}

void TestInstall::dataFilesMatchSources()
{
    QCOMPARE(readFile(path("data/config.json")), readFile(PSM_SOURCE_DIR "/data/config.json"));
    QCOMPARE(readFile(path("data/LICENCE.txt")), readFile(PSM_SOURCE_DIR "/data/LICENCE.txt"));

    const QImage icon(path("share/icons/hicolor/64x64/apps/printer-status-monitor.png"));
    QCOMPARE(icon.size(), QSize(64, 64));

    // The font is a link to the system's file, present when the build found it.
    const QFileInfo font(path("bin/wqy-zenhei.ttf"));
    if (QFileInfo::exists(PSM_BUILD_DIR "/bin/wqy-zenhei.ttf")) {
        QVERIFY(font.isSymLink());
        QVERIFY2(font.exists(), qPrintable(font.symLinkTarget()));
    } else {
        QVERIFY(!font.exists() && !font.isSymLink());
    }

    // An empty settings table, readable with the store.
    QString answer;
    QCOMPARE(queryLocalsettings(databasePath(), answer), 0);
    QCOMPARE(answer, QStringLiteral(R"({"resultCode":0,"result":[]})"));
}

void TestInstall::databaseOpenToUsersOnlyWhenRootInstalled()
{
    // Installed by root, every user's agent must be able to write settings
    // (and SQLite its journal beside the file).
    const bool root = ::geteuid() == 0;
    const QFileInfo directory(path("data/database"));
    const QFileInfo database(databasePath());
    QCOMPARE(bool(directory.permissions() & QFile::WriteOther), root);
    QCOMPARE(bool(database.permissions() & QFile::WriteOther), root);
}

void TestInstall::desktopEntries_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("menu") << "share/applications/printer-status-monitor.desktop";
    QTest::newRow("autostart") << "etc/xdg/autostart/printer-status-monitor.desktop";
}

void TestInstall::desktopEntries()
{
    QFETCH(QString, file);
    const QString entry = path(file);
    QCOMPARE(desktopValue(entry, "Type"), QStringLiteral("Application"));
    QCOMPARE(desktopValue(entry, "Name[zh_CN]"), QStringLiteral("打印机状态监视器"));
    // The prefix holds a blank, so the path is quoted.
    QCOMPARE(desktopValue(entry, "Exec"), '"' + path("bin/printer-status-monitor") + '"');
    // The prefix is not where icon themes are searched: the file itself.
    const QString icon = desktopValue(entry, "Icon");
    QCOMPARE(icon, path("share/icons/hicolor/64x64/apps/printer-status-monitor.png"));
    QVERIFY(!readFile(entry).contains(PSM_BUILD_DIR));
}

void TestInstall::desktopEntriesValidate()
{
    const QString validator = QStandardPaths::findExecutable("desktop-file-validate");
    if (validator.isEmpty()) {
        QSKIP("desktop-file-validate is not installed (desktop-file-utils)");
    }
    for (const QString& file : { QStringLiteral("share/applications/printer-status-monitor.desktop"),
                                 QStringLiteral("etc/xdg/autostart/printer-status-monitor.desktop") }) {
        const Run result = run(validator, { path(file) });
        QVERIFY2(result.exitCode == 0 && result.output.trimmed().isEmpty(), qPrintable(file + ": " + result.output));
    }
}

void TestInstall::agentStarts_data()
{
    QTest::addColumn<bool>("databaseThere");
    QTest::newRow("installed database") << true;
    // Shows that the agent reads the installed file at start-up, so that the
    // absence of a store error above means something.
    QTest::newRow("database moved away") << false;
}

void TestInstall::agentStarts()
{
    QFETCH(bool, databaseThere);

    // A stored setting makes the start-up load complete ("settings not
    // loaded" is also logged for an empty table).
    QCOMPARE(addSetting(databasePath(), { "illegaLcon", "false", "feature" }), 0);
    const QString aside = databasePath() + ".aside";
    if (!databaseThere) {
        QVERIFY(QFile::rename(databasePath(), aside));
    }
    auto restore = qScopeGuard([&] {
        if (!databaseThere) {
            QFile::rename(aside, databasePath());
        }
    });

    // A handshake port of this run's own, the models kept.
    const QString configPath = path("data/config.json");
    const QByteArray original = readFile(configPath);
    auto restoreConfig = qScopeGuard([&] {
        QFile file(configPath);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(original);
        }
    });
    QJsonObject config = QJsonDocument::fromJson(original).object();
    QVERIFY(config.contains("models"));
    config.insert("excludePort", freeLoopbackPort());
    config.insert("networkProbe", QJsonObject{ { "host", "127.0.0.1" }, { "port", freeLoopbackPort() } });
    {
        QFile file(configPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(config).toJson());
    }

    QProcess agent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // No print server: the watcher must not reach the machine's.
    env.insert("CUPS_SERVER", m_root.filePath("no-cupsd.sock"));
    agent.setProcessEnvironment(env);
    agent.setProcessChannelMode(QProcess::MergedChannels);
    agent.start(path("bin/printer-status-monitor"), QStringList());
    QVERIFY(agent.waitForStarted());
    auto stop = qScopeGuard([&] {
        agent.kill();
        agent.waitForFinished();
    });

    QByteArray seen;
    QVERIFY2(waitForOutput(agent, seen, "start listen success", 20000), seen.constData());
    QVERIFY2(waitForOutput(agent, seen, "queryLocalsettings", 20000), seen.constData());
    if (databaseThere) {
        QVERIFY2(waitForOutput(agent, seen, "lock success", 10000), seen.constData());
        // The query and its outcome follow at once on the same thread.
        waitForOutput(agent, seen, "query settings failed", 1500);
        QVERIFY2(!seen.contains("query settings failed"), seen.constData());
        QVERIFY2(!seen.contains("settings not loaded"), seen.constData());
    } else {
        QVERIFY2(waitForOutput(agent, seen, "query settings failed", 10000), seen.constData());
    }
    QCOMPARE(agent.state(), QProcess::Running);
}

void TestInstall::statusToolRuns()
{
    const Run result = run(path("bin/printer-status"), { "--help" });
    QVERIFY2(result.exitCode == 0, qPrintable(result.output));
    QVERIFY(result.output.contains("printer-status"));
}

void TestInstall::reinstallKeepsSettings()
{
    QCOMPARE(addSetting(databasePath(), { "barContent", "kept across installs", "barcode" }), 0);
    const QByteArray before = readFile(databasePath());

    const Run result = install(m_prefix);
    QVERIFY2(result.exitCode == 0, qPrintable(result.output));
    QVERIFY2(result.output.contains("Keeping: " + databasePath()), qPrintable(result.output));

    QCOMPARE(readFile(databasePath()), before);
    QString answer;
    QCOMPARE(queryLocalsettings(databasePath(), answer), 0);
    QVERIFY2(answer.contains(R"("key":"barContent","value":"kept across installs")"), qPrintable(answer));
}

void TestInstall::packageComponentHasNoDatabase()
{
    // The Debian package holds the "runtime" component: settings.db is made
    // by its postinst, never shipped.
    const QString prefix = m_root.filePath("package");
    const Run result = install(prefix, { "--component", "runtime" });
    QVERIFY2(result.exitCode == 0, qPrintable(result.output));
    QVERIFY(QFileInfo(prefix + "/bin/create-settings-db").isExecutable());
    QVERIFY(QFileInfo(prefix + "/data/config.json").isFile());
    QVERIFY(!QFileInfo::exists(prefix + "/data/database"));
}

void TestInstall::debianPackage()
{
    if (QStandardPaths::findExecutable("dpkg-deb").isEmpty()) {
        QSKIP("dpkg-deb is not installed");
    }
    const QString out = m_root.filePath("deb");
    const Run built = run(QStringLiteral(PSM_CPACK_COMMAND),
                          { "-G", "DEB", "-B", out, "--config", PSM_BUILD_DIR "/CPackConfig.cmake" });
    QVERIFY2(built.exitCode == 0, qPrintable(built.output));
    const QStringList debs = QDir(out).entryList({ "*.deb" }, QDir::Files);
    QCOMPARE(debs.size(), 1);
    const QString deb = out + QLatin1Char('/') + debs.first();

    // config.json is a conffile in /etc, linked from the data directory.
    const Run contents = run("dpkg-deb", { "--contents", deb });
    for (const QString& line : { QStringLiteral("./opt/printer-status-monitor/data/config.json -> "
                                                "/etc/printer-status-monitor/config.json"),
                                 QStringLiteral("./lib/systemd/system/printer-status-metrics.service"),
                                 QStringLiteral("./lib/systemd/system/printer-status-metrics.timer"),
                                 QStringLiteral("./usr/share/doc/printer-status-monitor/copyright"),
                                 QStringLiteral("./usr/share/doc/printer-status-monitor/changelog.Debian.gz") }) {
        QVERIFY2(contents.output.contains(line), qPrintable(line + "\n" + contents.output));
    }
    const Run conffiles = run("dpkg-deb", { "--info", deb, "conffiles" });
    QVERIFY2(conffiles.output.split('\n').contains("/etc/printer-status-monitor/config.json"),
             qPrintable(conffiles.output));
    QVERIFY(!conffiles.output.contains("/opt/"));

    if (QStandardPaths::findExecutable("lintian").isEmpty()) {
        QSKIP("lintian is not installed");
    }
    // Errors and warnings only; the one for /opt carries an override.
    const Run lint = run("lintian", { "--fail-on", "error,warning", deb });
    QVERIFY2(lint.exitCode == 0, qPrintable(lint.output));
    QVERIFY2(!lint.output.contains(QRegularExpression("^[EW]: ", QRegularExpression::MultilineOption)),
             qPrintable(lint.output));
}

void TestInstall::exampleAlertRules()
{
    if (QStandardPaths::findExecutable("promtool").isEmpty()) {
        QSKIP("promtool is not installed (prometheus)");
    }
    const Run check = run("promtool", { "check", "rules", PSM_SOURCE_DIR "/data/printer-status-alerts.yml" });
    QVERIFY2(check.exitCode == 0, qPrintable(check.output));
}

QTEST_GUILESS_MAIN(TestInstall)
#include "TestInstall.moc"
