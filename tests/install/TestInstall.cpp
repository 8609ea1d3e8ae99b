// The installed tree (its prefix holds a blank, which desktop entries must quote) with
// its agent and tools run from there; and the Debian package.

#include "TestPorts.h"
#include "store/StoreOperations.h"

#include <QtTest>

namespace
{
struct Run {
    int exitCode = -1; // also when it crashed or hung
    QString output;
};

Run run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    const bool ended = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    return { ended ? process.exitCode() : -1, QString::fromUtf8(process.readAll()) };
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root{ QDir::tempPath() + QStringLiteral("/psm install-XXXXXX") };
    const QString m_prefix = m_root.filePath("opt/printer status monitor");

private slots:
    void installedTree()
    {
        // Keep this run's store lock file, and its agent's, apart from the machine's.
        qputenv("TMPDIR", QFile::encodeName(m_root.path()));
        const QString database = m_prefix + "/data/database/settings.db";
        const QStringList install{ "--install", PSM_BUILD_DIR, "--prefix", m_prefix };
        Run result = run(PSM_CMAKE_COMMAND, install);
        QVERIFY2(result.exitCode == 0 && result.output.contains("Creating: " + database), qPrintable(result.output));
        QCOMPARE(readFile(m_prefix + "/data/config.json"), readFile(PSM_SOURCE_DIR "/data/config.json"));
        const QByteArray exec = ("Exec=\"" + m_prefix + "/bin/printer-status-monitor\"\n").toUtf8();
        QVERIFY(readFile(m_prefix + "/share/applications/printer-status-monitor.desktop").contains(exec));
        QVERIFY(readFile(m_prefix + "/etc/xdg/autostart/printer-status-monitor.desktop").contains(exec));

        // The settings database: made empty, kept with its rows by the next install.
        QString answer;
        QVERIFY(queryLocalsettings(database, answer) == 0 && answer == R"({"resultCode":0,"result":[]})");
        QCOMPARE(addSetting(database, { "illegaLcon", "false", "feature" }), 0);
        result = run(PSM_CMAKE_COMMAND, install);
        QVERIFY2(result.exitCode == 0 && result.output.contains("Keeping: " + database), qPrintable(result.output));
        QVERIFY2(queryLocalsettings(database, answer) == 0 && answer.contains(R"("key":"illegaLcon","value":"false")"),
                 qPrintable(answer));

        // The installed agent, on ports of this run's own and with no print
        // server to reach, starts and reads the installed settings.
        QJsonObject config = QJsonDocument::fromJson(readFile(m_prefix + "/data/config.json")).object();
        config.insert("excludePort", freeLoopbackPort());
        config.insert("networkProbe", QJsonObject{ { "host", "127.0.0.1" }, { "port", freeLoopbackPort() } });
        QFile configFile(m_prefix + "/data/config.json");
        QVERIFY(configFile.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && configFile.write(QJsonDocument(config).toJson()) > 0 && configFile.flush());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("CUPS_SERVER", QFile::encodeName(m_root.filePath("no-cupsd.sock")));
        QProcess agent;
        agent.setProcessChannelMode(QProcess::MergedChannels);
        agent.start(m_prefix + "/bin/printer-status-monitor", QStringList());
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += agent.readAll()).contains("lock success"), 30000);
        QTest::qWait(1500); // the query's outcome follows on the same thread
        seen += agent.readAll();
        QVERIFY2(agent.state() == QProcess::Running && seen.contains("start listen success"), seen.constData());
        QVERIFY2(!seen.contains("query settings failed") && !seen.contains("settings not loaded"), seen.constData());
        agent.terminate();
        agent.waitForFinished();

        result = run(m_prefix + "/bin/printer-status", { "--help" });
        QVERIFY2(result.exitCode == 0 && result.output.contains("printer-status"), qPrintable(result.output));
    }

    void debianPackage()
    {
        const QString out = m_root.filePath("deb");
        const Run built
            = run(PSM_CPACK_COMMAND, { "-G", "DEB", "-B", out, "--config", PSM_BUILD_DIR "/CPackConfig.cmake" });
        const QStringList debs = QDir(out).entryList({ "*.deb" }, QDir::Files);
        QVERIFY2(built.exitCode == 0 && debs.size() == 1, qPrintable(built.output));
        const QString deb = out + QLatin1Char('/') + debs.first();

        // config.json is a conffile in /etc, linked from the data directory;
        // settings.db is made by the postinst, never shipped.
        const QString contents = run("dpkg-deb", { "--contents", deb }).output;
        for (const char* line :
             { "./opt/printer-status-monitor/data/config.json -> /etc/printer-status-monitor/config.json",
               "./opt/printer-status-monitor/bin/create-settings-db",
               "./lib/systemd/system/printer-status-metrics.timer",
               "./lib/systemd/system/printer-status-exporter.service", "./usr/share/man/man1/printer-status.1.gz",
               "./usr/share/man/man1/printer-status-monitor.1.gz",
               "./usr/share/bash-completion/completions/printer-status",
               "./usr/share/doc/printer-status-monitor/copyright" }) {
            QVERIFY2(contents.contains(line) && !contents.contains("settings.db"), qPrintable(line + contents));
        }
        const QString conffiles = run("dpkg-deb", { "--info", deb, "conffiles" }).output;
        QVERIFY2(conffiles.contains("/etc/printer-status-monitor/config.json") && !conffiles.contains("/opt/"),
                 qPrintable(conffiles));

        // Errors and warnings only; the one for /opt carries an override. The
        // example alert rules the package ships must load in Prometheus.
        const Run lint = run("lintian", { "--fail-on", "error,warning", deb });
        QVERIFY2(lint.exitCode == 0, qPrintable(lint.output));
        const Run rules = run("promtool", { "check", "rules", PSM_SOURCE_DIR "/data/printer-status-alerts.yml" });
        QVERIFY2(rules.exitCode == 0, qPrintable(rules.output));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "TestInstall.moc"
