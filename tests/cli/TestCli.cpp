#include "CupsSandbox.h"
#include "SimThread.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

namespace
{
const QString tool = QStringLiteral(PSM_BUILD_DIR "/bin/printer-status");

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList& args)
{
    QProcess process;
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
    void usage_data();
    void usage();
    void nothingFound();
    void watchPrintsChanges();

private:
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
    m_sim = new SimThread;
    QVERIFY(m_sim->load(
        { printer("127.0.0.120"),
          printer("127.0.0.121", { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } }) }));
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
    const QString expected = QStringLiteral("打印机：jam\n"
                                            "  地址：127.0.0.121\n"
                                            "  型号：Ostrel TR-M400 Series\n"
                                            "  状态：紧急警告(10003)\n"
                                            "  状态：打印机卡纸(20006)\n"
                                            "  状态：卡纸，请打开前盖并拉出硒鼓来清除卡纸(200324)\n"
                                            "  墨粉：黑色墨盒剩余量: 25%\n"
                                            "\n"
                                            "打印机：off\n"
                                            "  地址：127.0.0.122\n"
                                            "  型号：Ostrel TR-M400 Series\n"
                                            "  状态：网络连接失败，请检查网络连接(30001)\n"
                                            "  墨粉：无法连接打印机，获取墨粉余量失败\n"
                                            "\n"
                                            "打印机：office\n"
                                            "  地址：127.0.0.120\n"
                                            "  型号：Ostrel TR-M400 Series\n"
                                            "  状态：打印机状态正常(10000)\n"
                                            "  墨粉：黑色墨盒剩余量: 25%\n"
                                            "\n");
    QCOMPARE(run.out, expected);
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
    QTest::newRow("normal printer") << QStringList{ "office" } << 0;
    QTest::newRow("jammed printer") << QStringList{ "jam" } << 1;
    QTest::newRow("unreachable printer") << QStringList{ "off" } << 1;
    QTest::newRow("not a printer") << QStringList{ "nosuch" } << 2;
    QTest::newRow("unsupported model is not a printer") << QStringList{ "other" } << 2;
    QTest::newRow("one name unknown") << QStringList{ "office", "nosuch" } << 2;
}

void TestCli::exitStatus()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    const Run run = runTool(args);
    QCOMPARE(run.exitCode, status);
    if (status == 2) {
        QVERIFY(run.err.contains("不是已发现的打印机"));
    }
}

void TestCli::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("help") << QStringList{ "--help" } << 0 << "用法：printer-status [选项]... [打印机名]...";
    QTest::newRow("unknown option") << QStringList{ "--bogus" } << 2 << "无效的选项";
    QTest::newRow("watch without seconds") << QStringList{ "--watch" } << 2 << "--watch";
    QTest::newRow("watch zero") << QStringList{ "--watch=0" } << 2 << "--watch";
}

void TestCli::usage()
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

void TestCli::watchPrintsChanges()
{
    QProcess watch;
    watch.start(tool, { "--watch", "1", "--json", "office", "jam" });
    QVERIFY(watch.waitForStarted());
    auto nextDocument = [&watch]() -> QJsonObject {
        QElapsedTimer timer;
        timer.start();
        while (!watch.canReadLine() && timer.elapsed() < 20000) {
            watch.waitForReadyRead(200);
        }
        return QJsonDocument::fromJson(watch.readLine()).object();
    };
    QCOMPARE(nextDocument().value("printers").toArray().size(), 2);

    // Only the printer whose report changed is printed again.
    QVERIFY(m_sim->load(
        { printer("127.0.0.120", { { "state", 3 }, { "flags", QJsonArray{ 2 } } }),
          printer("127.0.0.121", { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } }) }));
    const QJsonArray changed = nextDocument().value("printers").toArray();
    watch.kill();
    watch.waitForFinished();
    QVERIFY(m_sim->load(
        { printer("127.0.0.120"),
          printer("127.0.0.121", { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } }) }));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).toObject().value("codes").toArray(), (QJsonArray{ 10003, 20002 }));
}

QTEST_GUILESS_MAIN(TestCli)
#include "TestCli.moc"
