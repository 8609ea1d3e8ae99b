#include "CupsSandbox.h"
#include "SimThread.h"
#include "status/StatusMessage.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const QString tool = QStringLiteral(PSM_BUILD_DIR "/bin/printer-status");

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList& args, const std::function<void(QProcess&)>& setUp = {})
{
    QProcess process;
    if (setUp) {
        setUp(process);
    }
    process.start(tool, args);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("timed out");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QJsonObject printer(const QString& address, const QJsonObject& extra = {})
{
    QJsonObject object{
        { "address", address },
        { "model", "TR-M400" },
        { "toners",
          QJsonArray{ QJsonObject{ { "tonerColor", "black" }, { "maxCapacity", 8000 }, { "suppliesLevel", 2000 } } } }
    };
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        object.insert(it.key(), it.value());
    }
    return object;
}
QJsonObject toner(const QString& color, int max, int level)
{
    return QJsonObject{ { "tonerColor", color }, { "maxCapacity", max }, { "suppliesLevel", level } };
}

// The printers behind the queues: office normal, jam jammed, odd on standby
// (normal as well), colour with
// four cartridges, one of them of a colour text that needs escaping.
QList<QJsonObject> sims()
{
    return { printer("127.0.0.120"),
             printer("127.0.0.121", { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } }),
             printer("127.0.0.124",
                     { { "model", "TR-C3000" },
                       { "toners",
                         QJsonArray{ toner("Black", 8000, 2000), toner("cyan", 1000, 1000), toner("magenta", 0, 0),
                                     toner("gold \"24\" \\ k\nline", 500, 100) } } }),
             printer("127.0.0.125", { { "state", 8 } }) };
}

// promtool's verdict on an exposition text; empty when it is accepted.
QString promtoolProblems(const QByteArray& text)
{
    QProcess promtool;
    promtool.setProcessChannelMode(QProcess::MergedChannels);
    promtool.start(QStringLiteral("promtool"), { "check", "metrics" });
    promtool.write(text);
    promtool.closeWriteChannel();
    promtool.waitForFinished();
    const QString output = QString::fromUtf8(promtool.readAll());
    return promtool.exitCode() == 0 && output.trimmed().isEmpty() ? QString() : output + QStringLiteral("\n") + text;
}

// A label value as the exposition format writes it.
QString escaped(QString value)
{
    return value.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n");
}

// The value of the one sample whose line starts with prefix (name and labels).
QString sample(const QString& text, const QString& prefix)
{
    QStringList found;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix)) {
            found << line.mid(line.lastIndexOf(QLatin1Char(' ')) + 1);
        }
    }
    return found.size() == 1 ? found.first() : QStringLiteral("%1 samples").arg(found.size());
}
} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void textBlocks();
    void json();
    void exitStatus_data();
    void exitStatus();
    void nothingFound();
    void watchPrintsChanges_data();
    void watchPrintsChanges();
    void prometheus_data();
    void prometheus();
    void outputReplacesFileWhole();
    void failedWrite_data();
    void failedWrite();
    void silentPrintServer();
    void duplicateNamePolledOnce();

private:
    QTemporaryDir m_dir;
    CupsSandbox m_cups;
    SimThread* m_sim = nullptr;
};

void TestCli::initTestCase()
{
    QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError()));
    QVERIFY(m_cups.addQueue("office", "socket://127.0.0.120:9100", "TR-M400"));
    QVERIFY(m_cups.addQueue("jam", "socket://127.0.0.121", "TR-M400"));
    QVERIFY(m_cups.addQueue("off", "tav2://OSTREL_127.0.0.122", "TR-M400"));
    QVERIFY(m_cups.addQueue("other", "socket://127.0.0.123", "X100"));
    QVERIFY(m_cups.addQueue("colour", "socket://127.0.0.124", "TR-C3000"));
    // A make-and-model with a backslash and a line break (a PPD quoted value
    // may span lines), for the label escaping.
    QFile ppd(PSM_SOURCE_DIR "/tests/fixtures/cups/ppd/TR-M400.ppd");
    QVERIFY(ppd.open(QIODevice::ReadOnly));
    QFile oddPpd(m_dir.filePath("odd.ppd"));
    QVERIFY(oddPpd.open(QIODevice::WriteOnly));
    oddPpd.write(
        ppd.readAll().replace("*NickName: \"Ostrel TR-M400 Series\"", "*NickName: \"Ostrel TR-M400 a\\b\nline2\""));
    oddPpd.close();
    QVERIFY(m_cups.addQueue("odd", "socket://127.0.0.125", oddPpd.fileName()));
    m_sim = new SimThread;
    QVERIFY(m_sim->load(sims()));
}

void TestCli::cleanupTestCase()
{
    delete m_sim;
    m_cups.stop();
}

void TestCli::textBlocks()
{
    const Run run = runTool({});
    QCOMPARE(run.exitCode, 1);
    // Every found printer in name order; the unsupported model is left out.
    QStringList names;
    for (const QString& line : run.out.split('\n')) {
        if (line.startsWith("打印机：")) {
            names << line.mid(4);
        }
    }
    QCOMPARE(names, (QStringList{ "colour", "jam", "odd", "off", "office" }));
    QVERIFY2(run.out.contains(QStringLiteral("打印机：jam\n"
                                             "  地址：127.0.0.121\n"
                                             "  型号：Ostrel TR-M400 Series\n"
                                             "  状态：紧急警告(10003)\n"
                                             "  状态：打印机卡纸(20006)\n"
                                             "  状态：卡纸，请打开前盖并拉出硒鼓来清除卡纸(200324)\n"
                                             "  墨粉：黑色墨盒剩余量: 25%\n\n")),
             qPrintable(run.out));
    QVERIFY(run.out.contains("  墨粉：品红墨盒剩余量: 0%\n  墨粉：gold \"24\" \\ k\nline 20%\n"));
    QVERIFY(
        run.out.contains("  状态：网络连接失败，请检查网络连接(30001)\n  墨粉：无法连接打印机，获取墨粉余量失败\n"));
}

void TestCli::json()
{
    const Run run = runTool({ "--json", "office", "off" });
    QCOMPARE(run.exitCode, 1);
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(QDateTime::fromString(document.value("time").toString(), Qt::ISODate).isValid());
    const QJsonArray printers = document.value("printers").toArray();
    QCOMPARE(printers.size(), 2);
    // Named printers come in the order given.
    const QJsonObject off = printers.at(1).toObject();
    QCOMPARE(off.value("name").toString(), QString("off"));
    QCOMPARE(off.value("codes").toArray(), QJsonArray{ 30001 });
    QCOMPARE(off.value("normal").toBool(), false);
    QCOMPARE(off.value("tonerError").toString(), QString("无法连接打印机，获取墨粉余量失败"));
    const QJsonObject office = printers.at(0).toObject();
    QCOMPARE(office.value("address").toString(), QString("127.0.0.120"));
    QCOMPARE(office.value("messages").toArray(), QJsonArray{ "打印机状态正常(10000)" });
    QCOMPARE(office.value("normal").toBool(), true);
    const QJsonObject toner = office.value("toners").toArray().at(0).toObject();
    QCOMPARE(toner.value("percent").toString(), QString("25%"));
    QCOMPARE(toner.value("maxCapacity").toInt(), 8000);
}

void TestCli::exitStatus_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text"); // in the output or on standard error
    QTest::newRow("normal printer") << QStringList{ "office" } << 0 << "";
    QTest::newRow("jammed printer") << QStringList{ "jam" } << 1 << "";
    QTest::newRow("unreachable printer") << QStringList{ "off" } << 1 << "";
    // 0 only when every printer is normal, whatever the order.
    QTest::newRow("normal, then jammed") << QStringList{ "office", "jam" } << 1 << "";
    QTest::newRow("jammed, then normal") << QStringList{ "jam", "office" } << 1 << "";
    QTest::newRow("two normal") << QStringList{ "office", "odd" } << 0 << "";
    QTest::newRow("not a printer") << QStringList{ "nosuch" } << 2 << "不是已发现的打印机";
    QTest::newRow("unsupported model") << QStringList{ "other" } << 2 << "不是已发现的打印机";
    QTest::newRow("one name unknown") << QStringList{ "office", "nosuch" } << 2 << "不是已发现的打印机";
    QTest::newRow("help") << QStringList{ "--help" } << 0 << "用法：printer-status [选项]... [打印机名]...";
    QTest::newRow("unknown option") << QStringList{ "--bogus" } << 2 << "无效的选项";
    QTest::newRow("watch zero") << QStringList{ "--watch=0" } << 2 << "--watch";
    QTest::newRow("output without file") << QStringList{ "-o" } << 2 << "--output 需要一个文件名";
}

void TestCli::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, text);
    const Run run = runTool(args);
    QCOMPARE(run.exitCode, status);
    QVERIFY2((run.out + run.err).contains(text), qPrintable(run.out + run.err));
}

void TestCli::nothingFound()
{
    // A print server without any of the maker's queues.
    CupsSandbox empty;
    QVERIFY2(empty.start(), qPrintable(empty.lastError()));
    const Run run = runTool({});
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.contains("没有找到打印机"));
    empty.stop();
    QVERIFY(m_cups.start()); // points libcups and CUPS_SERVER back
}

void TestCli::watchPrintsChanges_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("officeItem");
    QTest::newRow("text") << QString() << "打印机：office\n";
    QTest::newRow("json") << "--json"
                          << "\"name\":\"office\"";
}

void TestCli::watchPrintsChanges()
{
    QFETCH(QString, format);
    QFETCH(QString, officeItem);
    QProcess watch;
    watch.start(tool,
                QStringList{ "--watch", "1" } + (format.isEmpty() ? QStringList() : QStringList{ format })
                    + QStringList{ "office", "jam" });
    QVERIFY(watch.waitForStarted());
    QByteArray seen;
    auto waitFor = [&](const QByteArray& text, int ms) {
        QElapsedTimer timer;
        timer.start();
        while (!seen.contains(text) && timer.elapsed() < ms) {
            watch.waitForReadyRead(200);
            seen += watch.readAllStandardOutput();
        }
    };
    waitFor("jam", 20000);
    waitFor("never printed", 2500); // unchanged rounds print nothing
    // Only the printer whose report changed is printed again.
    QVERIFY(m_sim->load(
        { printer("127.0.0.120", { { "state", 3 }, { "flags", QJsonArray{ 2 } } }),
          printer("127.0.0.121", { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } }) }));
    waitFor(statusMessage(20002).toUtf8(), 20000);
    waitFor("never printed", 2500);
    watch.kill();
    watch.waitForFinished();
    QVERIFY(m_sim->load(sims()));
    const QString out = QString::fromUtf8(seen);
    QVERIFY2(out.count(officeItem) == 2 && out.count(QString(officeItem).replace("office", "jam")) == 1,
             seen.constData());
    QVERIFY2(out.contains(statusMessage(10003)), seen.constData());
}

void TestCli::prometheus_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("jammed") << "jam";
    QTest::newRow("unreachable") << "off";
    QTest::newRow("colour, a colour text with quote, backslash and newline") << "colour";
    QTest::newRow("model text with backslash and newline") << "odd";
}

void TestCli::prometheus()
{
    QFETCH(QString, name);
    if (QStandardPaths::findExecutable("promtool").isEmpty()) {
        QSKIP("promtool is not installed (prometheus)");
    }
    const Run json = runTool({ "--json", name });
    const Run metrics = runTool({ "--prometheus", name });
    QCOMPARE(metrics.exitCode, json.exitCode);
    const QString problems = promtoolProblems(metrics.out.toUtf8());
    QVERIFY2(problems.isEmpty(), qPrintable(problems));

    const QJsonObject p
        = QJsonDocument::fromJson(json.out.toUtf8()).object().value("printers").toArray().at(0).toObject();
    const QString labels = QStringLiteral(R"({printer="%1",address="%2",model="%3")")
                               .arg(name, p.value("address").toString(), escaped(p.value("model").toString()));
    const QJsonArray codes = p.value("codes").toArray();
    const bool up = codes.at(0).toInt() < 30000;
    QCOMPARE(sample(metrics.out, "printer_status_up" + labels + "}"), QString::number(up));
    QCOMPARE(sample(metrics.out, "printer_status_normal" + labels + "}"), QString::number(p.value("normal").toBool()));
    QCOMPARE(metrics.out.count("printer_status_condition{"), codes.size());
    for (int i = 0; i < codes.size(); ++i) {
        const QString code = QString::number(codes.at(i).toInt());
        const QString series = QStringLiteral(R"(printer_status_condition%1,code="%2",message="%3"})")
                                   .arg(labels, code, p.value("messages").toArray().at(i).toString());
        QCOMPARE(sample(metrics.out, series), QString("1"));
    }
    const QJsonArray toners = p.value("toners").toArray();
    QCOMPARE(metrics.out.count("printer_toner_level_ratio{"), toners.size());
    for (const QJsonValue& value : toners) {
        const QJsonObject t = value.toObject();
        QString color = t.value("color").toString();
        color = color == "Black" ? "black" : escaped(color);
        const double max = t.value("maxCapacity").toDouble();
        const double ratio = max > 0 ? t.value("suppliesLevel").toDouble() / max : 0;
        const QString series = QStringLiteral(R"(printer_toner_level_ratio%1,color="%2"})").arg(labels, color);
        QCOMPARE(sample(metrics.out, series).toDouble(), ratio);
    }
    QVERIFY(sample(metrics.out, "printer_status_poll_duration_seconds" + labels + "}").toDouble() > 0);
    const double stamp = sample(metrics.out, "printer_status_last_poll_timestamp_seconds ").toDouble();
    QVERIFY(qAbs(stamp - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 60);
}

void TestCli::outputReplacesFileWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("printer-status.prom");
    const QByteArray old = "# an older poll\nprinter_status_up 1\n";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(old);
    file.close();
    // A collector that opened the file before the run reads it to its end.
    QFile reader(path);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    QCOMPARE(reader.read(10), old.left(10));

    const Run run = runTool({ "--prometheus", "--output", path, "office", "jam" });
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(reader.readAll(), old.mid(10));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray fresh = file.readAll();
    const QString problems = promtoolProblems(fresh);
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
    QCOMPARE(fresh.count("printer_status_up{"), 2);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{ "printer-status.prom" });
    // The node exporter reads it as another user.
    QVERIFY(QFileInfo(path).permissions() & QFile::ReadOther);
}

void TestCli::failedWrite_data()
{
    QTest::addColumn<bool>("closedPipe");
    QTest::newRow("full disk") << false;
    QTest::newRow("closed pipe") << true;
}

void TestCli::failedWrite()
{
    QFETCH(bool, closedPipe);
    QTemporaryDir dir;
    const QString fifo = dir.filePath("pipe");
    int reader = -1;
    QProcess process;
    if (closedPipe) {
        // The reader goes away once the tool holds the pipe's other end.
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
    }
    process.setStandardOutputFile(closedPipe ? fifo : QStringLiteral("/dev/full"));
    process.start(tool, { "office" });
    QVERIFY(process.waitForStarted());
    if (closedPipe) {
        ::close(reader);
    }
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(QString::fromUtf8(process.readAllStandardError()).contains("写入标准输出失败"));
}

void TestCli::silentPrintServer()
{
    // Accepts connections (the kernel does, from the backlog) and never answers.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QElapsedTimer clock;
    clock.start();
    const Run run = runTool({ "--json" }, [&silent](QProcess& process) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CUPS_SERVER", QStringLiteral("127.0.0.1:%1").arg(silent.serverPort()));
        process.setProcessEnvironment(env);
    });
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("打印服务器无响应"), qPrintable(run.err));
    QVERIFY(!run.err.contains("没有找到打印机"));
    QCOMPARE(QJsonDocument::fromJson(run.out.toUtf8()).object().value("error").toString(), QString("打印服务器无响应"));
}

void TestCli::duplicateNamePolledOnce()
{
    const auto office = m_sim->printer("127.0.0.120");
    office->resetStats();
    const Run run = runTool({ "office", "office" });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out.count("打印机："), 1);
    QCOMPARE(office->stats().requests.value("login"), 1);
}

QTEST_GUILESS_MAIN(TestCli)
#include "TestCli.moc"
