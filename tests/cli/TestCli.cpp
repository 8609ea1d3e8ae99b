#include "CupsSandbox.h"
#include "SimThread.h"
#include "status/StatusMessage.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace
{
const QString tool = QStringLiteral(PSM_BUILD_DIR "/bin/printer-status");

struct Run {
    int exitCode;
    QString out;
    QString err;
};

Run run(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess process;
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return { finished ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
             QString::fromUtf8(process.readAllStandardError()) };
}

// How exitStatus runs the tool: as it is, or with its output or print server changed.
const QString plain = QStringLiteral(R"("$0" "$@")");

QJsonObject toner(const QString& color, int max, int level)
{
    return QJsonObject{ { "tonerColor", color }, { "maxCapacity", max }, { "suppliesLevel", level } };
}

// The printers behind the queues: office normal unless told otherwise, jam jammed, colour with four cartridges (one of
// a colour text that needs escaping), odd on standby (normal as well).
QList<QJsonObject> sims(const QJsonObject& office = {})
{
    QList<QJsonObject> printers{ office,
                                 { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } },
                                 { { "model", "TR-C3000" },
                                   { "toners",
                                     QJsonArray{ toner("Black", 8000, 2000), toner("cyan", 1000, 1000),
                                                 toner("magenta", 0, 0),
                                                 toner("gold \"24\" \\ k\nline\x1b[2J", 500, 100) } } },
                                 { { "state", 8 } } };
    const QStringList addresses{ "127.0.0.120", "127.0.0.121", "127.0.0.124", "127.0.0.125" };
    for (int i = 0; i < printers.size(); ++i) {
        printers[i].insert("address", addresses.at(i));
        if (!printers[i].contains("model")) {
            printers[i].insert("model", "TR-M400");
            printers[i].insert("toners", QJsonArray{ toner("black", 8000, 2000) });
        }
    }
    return printers;
}

// A label as the exposition format writes it.
QString label(const char* name, QString value)
{
    value.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n");
    return QStringLiteral("%1=\"%2\"").arg(QLatin1String(name), value);
}
} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    CupsSandbox m_cups;
    SimThread m_sim;

private slots:
    void initTestCase()
    {
        QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError()));
        QVERIFY(m_cups.addQueue("office", "socket://127.0.0.120:9100", "TR-M400"));
        QVERIFY(m_cups.addQueue("jam", "socket://127.0.0.121", "TR-M400"));
        QVERIFY(m_cups.addQueue("off", "tav2://OSTREL_127.0.0.122", "TR-M400"));
        QVERIFY(m_cups.addQueue("other", "socket://127.0.0.123", "X100"));
        QVERIFY(m_cups.addQueue("colour", "socket://127.0.0.124", "TR-C3000"));
        // A make-and-model with a backslash and a line break (a PPD quoted value may span lines).
        QFile ppd(PSM_SOURCE_DIR "/tests/fixtures/cups/ppd/TR-M400.ppd");
        QFile oddPpd(m_dir.filePath("odd.ppd"));
        QVERIFY(ppd.open(QIODevice::ReadOnly) && oddPpd.open(QIODevice::WriteOnly));
        oddPpd.write(
            ppd.readAll().replace("*NickName: \"Ostrel TR-M400 Series\"", "*NickName: \"Ostrel TR-M400 a\\b\nline2\""));
        oddPpd.close();
        QVERIFY(m_cups.addQueue("odd", "socket://127.0.0.125", oddPpd.fileName()));
        QVERIFY(m_sim.load(sims()));
    }

    void cleanupTestCase() { m_cups.stop(); }

    void textAndJson()
    {
        const Run text = run(tool, {});
        QCOMPARE(text.exitCode, 1);
        // Every found printer in name order; the unsupported model is left out.
        QCOMPARE(text.out.split('\n').filter(QRegularExpression("^打印机：")),
                 (QStringList{ "打印机：colour", "打印机：jam", "打印机：odd", "打印机：off", "打印机：office" }));
        QVERIFY2(text.out.contains("打印机：jam\n  地址：127.0.0.121\n  型号：Ostrel TR-M400 Series\n"
                                   "  状态：紧急警告(10003)\n  状态：打印机卡纸(20006)\n"
                                   "  状态：卡纸，请打开前盖并拉出硒鼓来清除卡纸(200324)\n"
                                   "  墨粉：黑色墨盒剩余量: 25%\n\n"),
                 qPrintable(text.out));
        // A printer's text cannot start a line or reach the terminal as an escape sequence.
        QVERIFY(text.out.contains("  墨粉：品红墨盒剩余量: 0%\n  墨粉：gold \"24\" \\ k\\x0aline\\x1b[2J 20%\n"));
        QVERIFY(text.out.contains("  状态：网络连接失败，请检查网络连接(30001)\n"
                                  "  墨粉：无法连接打印机，获取墨粉余量失败\n"));

        // Named printers come in the order given, each polled once.
        m_sim.printer("127.0.0.120")->resetStats();
        const Run json = run(tool, { "--json", "office", "off", "office" });
        const QJsonArray printers = QJsonDocument::fromJson(json.out.toUtf8())["printers"].toArray();
        QCOMPARE(m_sim.printer("127.0.0.120")->stats().requests.value("login"), 1);
        QCOMPARE(printers.size(), 2);
        QCOMPARE(printers.at(0)["messages"].toArray(), QJsonArray{ "打印机状态正常(10000)" });
        QCOMPARE(printers.at(0)["deviceId"].toString(), QString("SIM-127.0.0.120"));
        QCOMPARE(printers.at(0)["toners"][0]["percent"].toString(), QString("25%"));
        QCOMPARE(printers.at(1)["tonerError"].toString(), QString("无法连接打印机，获取墨粉余量失败"));
    }

    void exitStatus_data()
    {
        QTest::addColumn<QString>("shell");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text"); // in the output or on standard error
        QTest::newRow("normal") << plain << QStringList{ "office" } << 0 << "";
        QTest::newRow("unreachable") << plain << QStringList{ "off" } << 1 << "";
        // 0 only when every printer is normal, whatever the order.
        QTest::newRow("normal, then jammed") << plain << QStringList{ "office", "jam" } << 1 << "";
        QTest::newRow("jammed, then normal") << plain << QStringList{ "jam", "office" } << 1 << "";
        QTest::newRow("normal and standby") << plain << QStringList{ "office", "odd" } << 0 << "";
        QTest::newRow("not a printer") << plain << QStringList{ "nosuch" } << 2 << "nosuch：不是已发现的打印机";
        QTest::newRow("unsupported model") << plain << QStringList{ "other" } << 2 << "other：不是已发现的打印机";
        QTest::newRow("one name unknown") << plain << QStringList{ "office", "nosuch" } << 2 << "不是已发现的打印机";
        QTest::newRow("no print server") << "CUPS_SERVER=/nonexistent/cups.sock " + plain << QStringList() << 2
                                         << "没有找到打印机";
        QTest::newRow("silent print server") << "CUPS_SERVER=127.0.0.1:PORT " + plain << QStringList{ "--json" } << 2
                                             << "\"error\": \"打印服务器无响应\"";
        QTest::newRow("full disk") << plain + " >/dev/full" << QStringList{ "office" } << 2 << "写入标准输出失败";
        // The reader is gone before the tool has polled.
        QTest::newRow("closed pipe") << plain + " | true; exit ${PIPESTATUS[0]}" << QStringList{ "office" } << 2
                                     << "写入标准输出失败";
        QTest::newRow("help") << plain << QStringList{ "--help" } << 0 << "用法：printer-status [选项]...";
        QTest::newRow("unknown option") << plain << QStringList{ "--bogus" } << 2 << "无效的选项";
        QTest::newRow("watch zero") << plain << QStringList{ "--watch=0" } << 2 << "--watch";
        QTest::newRow("output without file") << plain << QStringList{ "-o" } << 2 << "--output 需要一个文件名";
    }

    void exitStatus()
    {
        QFETCH(QString, shell);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, text);
        QTcpServer silent; // accepts connections (the kernel does, from the backlog) and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QDeadlineTimer bound(30000); // a silent print server is given up on well before it
        const Run result = run(
            "bash", QStringList{ "-c", shell.replace("PORT", QString::number(silent.serverPort())), tool } + args);
        QVERIFY(!bound.hasExpired());
        QCOMPARE(result.exitCode, status);
        QVERIFY2((result.out + result.err).contains(text), qPrintable(result.out + result.err));
    }

    // The file is replaced whole, promtool accepts it, and every sample equals what --json reports.
    void prometheusFile()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("printer-status.prom"));
        const QByteArray old = "# an older poll\nprinter_status_up 1\n";
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
        file.close();
        // A collector that opened the file before the run reads it to its end.
        QFile reader(file.fileName());
        QVERIFY(reader.open(QIODevice::ReadOnly));
        QCOMPARE(reader.read(10), old.left(10));
        const Run json = run(tool, { "--json" });
        const Run metricsRun = run(tool, { "--prometheus", "--output", file.fileName() });
        QCOMPARE(metricsRun.exitCode, json.exitCode);
        QVERIFY(metricsRun.out.isEmpty());
        QCOMPARE(reader.readAll(), old.mid(10));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{ "printer-status.prom" });
        QVERIFY(file.permissions() & QFile::ReadOther); // the node exporter reads it as another user

        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString metrics = QString::fromUtf8(file.readAll());
        const Run promtool = run("promtool", { "check", "metrics" }, metrics.toUtf8());
        const QString verdict = promtool.out + promtool.err; // lint problems as well as errors
        QVERIFY2(promtool.exitCode == 0 && verdict.trimmed().isEmpty(), qPrintable(verdict + metrics));

        QStringList expected;
        for (const QJsonValue& p : QJsonDocument::fromJson(json.out.toUtf8())["printers"].toArray()) {
            const QString labels = label("printer", p["name"].toString()) + ','
                + label("address", p["address"].toString()) + ',' + label("model", p["model"].toString());
            const QJsonArray codes = p["codes"].toArray();
            expected
                << QStringLiteral("printer_info{%1,%2} 1").arg(labels, label("device_id", p["deviceId"].toString()))
                << QStringLiteral("printer_status_up{%1} %2").arg(labels).arg(codes.at(0).toInt() < 30000)
                << QStringLiteral("printer_status_normal{%1} %2").arg(labels).arg(p["normal"].toBool())
                << QStringLiteral("printer_status_poll_duration_seconds{%1}").arg(labels);
            for (int i = 0; i < codes.size(); ++i) {
                expected << QStringLiteral("printer_status_condition{%1,code=\"%2\",%3} 1")
                                .arg(labels, QString::number(codes.at(i).toInt()),
                                     label("message", p["messages"][i].toString()));
            }
            for (const QJsonValue& t : p["toners"].toArray()) {
                const double max = t["maxCapacity"].toDouble();
                const QString toner
                    = labels + ',' + label("color", t["color"] == "Black" ? "black" : t["color"].toString());
                expected << QStringLiteral("printer_toner_level_ratio{%1} %2")
                                .arg(toner)
                                .arg(max > 0 ? t["suppliesLevel"].toDouble() / max : 0)
                         << QStringLiteral("printer_toner_level{%1} %2").arg(toner).arg(t["suppliesLevel"].toDouble())
                         << QStringLiteral("printer_toner_capacity{%1} %2").arg(toner).arg(max);
            }
        }
        // Every sample but the poll time; a poll duration is some number of seconds.
        QStringList samples = metrics.split('\n').filter(QRegularExpression("^printer_.*\\}"));
        samples.replaceInStrings(QRegularExpression("(duration_seconds\\{.*\\}) [0-9.e+-]+$"), "\\1");
        samples.sort();
        expected.sort();
        QCOMPARE(samples, expected);
        const QString stamp = metrics.section("\nprinter_status_last_poll_timestamp_seconds ", 1).section('\n', 0, 0);
        QVERIFY2(qAbs(stamp.toDouble() - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 60, qPrintable(stamp));
    }

    // Last: it changes what a printer reports.
    void watchPrintsChanges_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("item"); // one per printer shown
        QTest::addColumn<QString>("round"); // one per round that showed any
        const QStringList watch{ "--watch=1", "office", "jam" };
        QTest::newRow("text") << watch << QString("打印机：%1\n") << QString("]\n打印机：office");
        QTest::newRow("json") << watch + QStringList{ "--json" } << QString("\"name\":\"%1\"") << QString("\"time\"");
    }

    void watchPrintsChanges()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, item);
        QFETCH(QString, round);
        QVERIFY(m_sim.load(sims()));
        QProcess watch;
        watch.start(tool, args);
        QByteArray seen;
        QTRY_VERIFY_WITH_TIMEOUT((seen += watch.readAllStandardOutput()).contains("jam"), 20000);
        QTest::qWait(2500); // unchanged rounds print nothing
        // Only the printer whose report changed is printed again.
        QVERIFY(m_sim.load(sims({ { "state", 3 }, { "flags", QJsonArray{ 2 } } })));
        QTRY_VERIFY_WITH_TIMEOUT((seen += watch.readAllStandardOutput()).contains(statusMessage(20002).toUtf8()),
                                 20000);
        QTest::qWait(2500);
        const QString out = QString::fromUtf8(seen + watch.readAllStandardOutput());
        watch.terminate();
        watch.waitForFinished();
        QVERIFY2(out.count(item.arg("office")) == 2 && out.count(item.arg("jam")) == 1, qPrintable(out));
        QVERIFY2(out.count(round) == 2 && out.contains(statusMessage(10003)), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "TestCli.moc"
