// The installed tree: cmake --install into a temporary prefix (with a blank
// in its path, as desktop entries must quote such a path), then the
// installed agent and tools run from there; and the Debian package.

#include "TestPorts.h"
#include "sqlcipher/SqlCipherDriver.h"
#include "store/StoreOperations.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

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
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromUtf8(process.readAll());
    return result;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}
} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void installedTree();
    void debianPackage();

private:
    QString path(const QString& relative) const { return m_prefix + QLatin1Char('/') + relative; }

    QTemporaryDir m_root{ QDir::tempPath() + QStringLiteral("/psm install-XXXXXX") };
    QString m_prefix;
};

void TestInstall::installedTree()
{
    QVERIFY(m_root.isValid());
    // The store's lock file lies in the temporary directory: keep this
    // run's, and its agent's, apart from the machine's.
    QVERIFY(QDir().mkpath(m_root.filePath("tmp")));
    qputenv("TMPDIR", QFile::encodeName(m_root.filePath("tmp")));
    registerSqlCipherDriver();
    m_prefix = m_root.filePath("opt/printer status monitor");
    const QString database = path("data/database/settings.db");
    const QStringList install{ "--install", PSM_BUILD_DIR, "--prefix", m_prefix };
    Run result = run(PSM_CMAKE_COMMAND, install);
    QVERIFY2(result.exitCode == 0 && result.output.contains("Creating: " + database), qPrintable(result.output));

    for (const char* program : { "printer-status-monitor", "printer-status", "create-settings-db" }) {
        QVERIFY2(QFileInfo(path(QStringLiteral("bin/") + program)).isExecutable(), program);
    }
    QCOMPARE(readFile(path("data/config.json")), readFile(PSM_SOURCE_DIR "/data/config.json"));
    // The prefix holds a blank, so the path is quoted.
    const QString exec = "Exec=\"" + path("bin/printer-status-monitor") + "\"\n";
    QVERIFY(readFile(path("share/applications/printer-status-monitor.desktop")).contains(exec.toUtf8()));
    QVERIFY(readFile(path("etc/xdg/autostart/printer-status-monitor.desktop")).contains(exec.toUtf8()));

    // The settings database made by create-settings-db: empty, and kept
    // with its rows by the next install.
    QString answer;
    QCOMPARE(queryLocalsettings(database, answer), 0);
    QCOMPARE(answer, QStringLiteral(R"({"resultCode":0,"result":[]})"));
    QCOMPARE(addSetting(database, { "illegaLcon", "false", "feature" }), 0);
    result = run(PSM_CMAKE_COMMAND, install);
    QVERIFY2(result.exitCode == 0 && result.output.contains("Keeping: " + database), qPrintable(result.output));
    QCOMPARE(queryLocalsettings(database, answer), 0);
    QVERIFY2(answer.contains(R"("key":"illegaLcon","value":"false")"), qPrintable(answer));

    // The installed agent starts on a handshake port of this run's own and
    // reads the installed settings.
    QJsonObject config = QJsonDocument::fromJson(readFile(path("data/config.json"))).object();
    config.insert("excludePort", freeLoopbackPort());
    config.insert("networkProbe", QJsonObject{ { "host", "127.0.0.1" }, { "port", freeLoopbackPort() } });
    QVERIFY(writeFile(path("data/config.json"), QJsonDocument(config).toJson()));
    QProcess agent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // No print server: the watcher must not reach the machine's.
    env.insert("CUPS_SERVER", m_root.filePath("no-cupsd.sock"));
    agent.setProcessEnvironment(env);
    agent.setProcessChannelMode(QProcess::MergedChannels);
    agent.start(path("bin/printer-status-monitor"), QStringList());
    QByteArray seen;
    QElapsedTimer timer;
    timer.start();
    while (!seen.contains("lock success") && agent.state() != QProcess::NotRunning && timer.elapsed() < 30000) {
        agent.waitForReadyRead(100);
        seen += agent.readAll();
    }
    QTest::qWait(1500); // the query's outcome follows on the same thread
    seen += agent.readAll();
    const bool running = agent.state() == QProcess::Running;
    agent.kill();
    agent.waitForFinished();
    QVERIFY2(running && seen.contains("start listen success") && seen.contains("lock success"), seen.constData());
    QVERIFY2(!seen.contains("query settings failed") && !seen.contains("settings not loaded"), seen.constData());

    result = run(path("bin/printer-status"), { "--help" });
    QVERIFY2(result.exitCode == 0 && result.output.contains("printer-status"), qPrintable(result.output));
}

void TestInstall::debianPackage()
{
    if (QStandardPaths::findExecutable("dpkg-deb").isEmpty()) {
        QSKIP("dpkg-deb is not installed");
    }
    const QString out = m_root.filePath("deb");
    const Run built
        = run(PSM_CPACK_COMMAND, { "-G", "DEB", "-B", out, "--config", PSM_BUILD_DIR "/CPackConfig.cmake" });
    QVERIFY2(built.exitCode == 0, qPrintable(built.output));
    const QStringList debs = QDir(out).entryList({ "*.deb" }, QDir::Files);
    QCOMPARE(debs.size(), 1);
    const QString deb = out + QLatin1Char('/') + debs.first();

    // config.json is a conffile in /etc, linked from the data directory;
    // settings.db is made by the postinst, never shipped.
    const Run contents = run("dpkg-deb", { "--contents", deb });
    for (const QString& line : { QStringLiteral("./opt/printer-status-monitor/data/config.json -> "
                                                "/etc/printer-status-monitor/config.json"),
                                 QStringLiteral("./opt/printer-status-monitor/bin/create-settings-db"),
                                 QStringLiteral("./lib/systemd/system/printer-status-metrics.timer"),
                                 QStringLiteral("./usr/share/doc/printer-status-monitor/copyright") }) {
        QVERIFY2(contents.output.contains(line), qPrintable(line + "\n" + contents.output));
    }
    QVERIFY(!contents.output.contains("settings.db"));
    const Run conffiles = run("dpkg-deb", { "--info", deb, "conffiles" });
    QVERIFY2(conffiles.output.split('\n').contains("/etc/printer-status-monitor/config.json"),
             qPrintable(conffiles.output));
    QVERIFY(!conffiles.output.contains("/opt/"));

    // Errors and warnings only; the one for /opt carries an override. The
    // example alert rules the package ships must load in Prometheus.
    for (const QString& tool : { QStringLiteral("lintian"), QStringLiteral("promtool") }) {
        if (QStandardPaths::findExecutable(tool).isEmpty()) {
            QSKIP(qPrintable(tool + " is not installed"));
        }
    }
    const Run lint = run("lintian", { "--fail-on", "error,warning", deb });
    QVERIFY2(lint.exitCode == 0, qPrintable(lint.output));
    QVERIFY2(!lint.output.contains(QRegularExpression("^[EW]: ", QRegularExpression::MultilineOption)),
             qPrintable(lint.output));
    const Run rules = run("promtool", { "check", "rules", PSM_SOURCE_DIR "/data/printer-status-alerts.yml" });
    QVERIFY2(rules.exitCode == 0, qPrintable(rules.output));
}

QTEST_GUILESS_MAIN(TestInstall)
#include "TestInstall.moc"
