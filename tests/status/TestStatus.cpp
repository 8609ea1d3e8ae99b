// The poller against the simulated printer, and what the window makes of its
// reports: toner bars and status messages.

#include "SimThread.h"
#include "channel/Connector.h"
#include "channel/ConnectorRegistry.h"
#include "core/PrinterRegistry.h"
#include "status/ListenPrinterStatus.h"
#include "status/StatusMessage.h"
#include "status/TonerInfo.h"

#include <QtTest>

namespace
{
QJsonObject simPrinter(const QString& address, QJsonObject printer = {})
{
    printer.insert("address", address);
    printer.insert("model", printer.value("model").toString("TR-M400"));
    return printer;
}

// Diagnostic lines, from whichever thread writes them.
QMutex linesMutex;
QStringList lines;
void captureLine(QtMsgType, const QMessageLogContext&, const QString& message)
{
    QMutexLocker locker(&linesMutex);
    lines << message;
}
} // namespace

class TestStatus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void pollReport_data();
    void pollReport();
    void hungPrintersHoldUpOnlyThemselves();

    void tonerDisplay_data();
    void tonerDisplay();
    void statusMessagesCarryTheirCode();

private:
    void stopPoller();
    void onPoller(const std::function<void()>& call);
    QStringList waitForReport(const QString& name, int timeoutMs = 15000);
    QStringList poll(const QString& name);

    SimThread m_sim;
    QThread m_pollerThread;
    ListenPrinterStatus* m_poller = nullptr;
    QHash<QString, QList<QStringList>> m_reports; // by printer, in order
};

void TestStatus::initTestCase()
{
    qRegisterMetaType<QStringList>();
    m_poller = new ListenPrinterStatus;
    m_poller->stopListenPrinterStatus(true); // polls only when asked
    m_poller->moveToThread(&m_pollerThread);
    connect(m_poller, &ListenPrinterStatus::printerStatusChanged, this,
            [this](const QString& name, const QStringList& list) { m_reports[name].append(list); });
    m_pollerThread.start();
}

void TestStatus::stopPoller()
{
    if (m_poller) {
        QMetaObject::invokeMethod(
            m_poller, [this] { delete m_poller; }, Qt::BlockingQueuedConnection);
    }
    m_poller = nullptr;
    m_pollerThread.quit();
    m_pollerThread.wait();
}

void TestStatus::init()
{
    PrinterRegistry::instance().clear();
    m_reports.clear();
}

void TestStatus::cleanupTestCase()
{
    stopPoller();
}

void TestStatus::onPoller(const std::function<void()>& call)
{
    QMetaObject::invokeMethod(m_poller, call, Qt::QueuedConnection);
}

// The first report on the printer not taken yet.
QStringList TestStatus::waitForReport(const QString& name, int timeoutMs)
{
    if (!QTest::qWaitFor([&] { return m_reports.contains(name); }, timeoutMs)) {
        return { "no report" };
    }
    QList<QStringList> reports = m_reports.take(name);
    if (reports.size() > 1) {
        m_reports.insert(name, reports.mid(1));
    }
    return reports.first();
}

QStringList TestStatus::poll(const QString& name)
{
    onPoller([this, name] { m_poller->updatePrinterStatus(name); });
    return waitForReport(name);
}

void TestStatus::pollReport_data()
{
    QTest::addColumn<QJsonObject>("sim"); // the simulated printer's extra settings
    QTest::addColumn<QString>("recordModel"); // the make-and-model the watcher stored
    QTest::addColumn<QString>("setup"); // "usb": a USB record no device serves; "busy": its connector is held
    QTest::addColumn<QStringList>("report");
    const auto row = [](const char* tag, const QJsonObject& sim, const QStringList& report, const char* setup = "",
                        const QString& model = QStringLiteral("Ostrel TR-M400 Series")) {
        QTest::newRow(tag) << sim << model << QString(setup) << report;
    };
    row("normal, flags ignored", { { "state", 0 }, { "flags", QJsonArray{ 4, 64 } } }, { "10000" });
    row("standby, flags ignored", { { "state", 8 }, { "flags", QJsonArray{ 4 } } }, { "10008" });
    row("warning with flags", { { "state", 3 }, { "flags", QJsonArray{ 4, 64 } } }, { "10003", "20003", "20007" });
    row("last flag and unknown flags", { { "state", 2 }, { "flags", QJsonArray{ 16384, 3, 32768, -1 } } },
        { "10002", "20015", "0", "0", "0" });
    row("state out of range", { { "state", 9 } }, { "0" });
    row("detail codes", { { "state", 1 }, { "detail", "x,2,200030ab,201600" } }, { "10001", "200030", "201600" });
    row("detail count mismatch", { { "state", 1 }, { "detail", "x,3,200030" } }, { "10001" });
    row("detail dots and quotes", { { "state", 6 }, { "detail", "\"a.b\",1,\"200.324\"" } }, { "10006", "200324" });
    row("detail not a number", { { "state", 6 }, { "detail", "x,two,200324,1" } }, { "10006" });
    row("detail empty parts kept", { { "state", 6 }, { "detail", "x,2,,200324" } }, { "10006", "", "200324" });
    const QString codes = QString("200030,").repeated(1000);
    row("report cut to its bound", { { "state", 1 }, { "detail", "x,1000," + codes.chopped(1) } },
        QStringList{ "10001" } + codes.left(7 * 63).split(',', Qt::SkipEmptyParts));
    QJsonArray flags;
    for (int i = 0; i < 100; ++i) {
        flags.append(4);
    }
    row("flags and details cut to the bound", { { "state", 3 }, { "flags", flags }, { "detail", "x,1,200324" } },
        QStringList{ "10003" } + QVector<QString>(63, "20003").toList());
    QJsonArray many; // cartridges with long texts, more than the window takes
    for (int i = 0; i < 40; ++i) {
        many.append(QJsonObject{ { "tonerColor", "black" }, { "tonerDescription", QString(5000, 'd') } });
    }
    row("cartridges cut to their bounds", { { "toners", many } }, { "10000" });
    row("login refused", { { "loginResult", 5 } }, { "30007" });
    row("usb printer unreachable", {}, { "30004" }, "usb");
    row("connector busy: nothing sent", {}, { "999999" }, "busy");
    row("other model", { { "model", "TR-C3000" } }, { "30005" });
    row("colour 3800 naming", { { "model", "TR3800c" } }, { "10000" }, "", "Ostrel TR Color 3800 Series");
    // One step of the poll fails: each step reports its own code.
    const auto fault = [](const char* kind, const char* method) {
        return QJsonObject{ { "fault", kind }, { "faultMethods", QJsonArray{ method } } };
    };
    row("connection refused", { { "fault", "refuse" } }, { "30001" });
    row("login closed mid-frame", fault("closeMidFrame", "login"), { "30001" });
    row("device id not a frame", fault("garbage", "getDeviceId"), { "30002" });
    row("device id token refused", fault("badToken", "getDeviceId"), { "30002" });
    row("device information closed mid-frame", fault("closeMidFrame", "getDeviceInfo"), { "30005" });
    row("status token refused", fault("badToken", "getPrinterStatus"), { "30006" });
}

// A poll's report; a failed poll shows the toner failure text, leaves no
// broken connection to reuse, and the mended printer's next poll is normal.
void TestStatus::pollReport()
{
    QFETCH(QJsonObject, sim);
    QFETCH(QString, recordModel);
    QFETCH(QString, setup);
    QFETCH(QStringList, report);
    const QString address = "127.0.0.90";
    QVERIFY(m_sim.load({ simPrinter(address, sim) }));
    auto& registry = PrinterRegistry::instance();
    const bool usb = setup == "usb";
    const PrinterContextPtr printer = usb ? registry.addPrinterContext("TR-M400", "2d8f:a61c:NODEVICE", true, 7, 1)
                                          : registry.addPrinterContext(address, "office", false, 0, 0);
    printer->setKind(usb ? 1 : 0);
    printer->setModel(recordModel);
    printer->setSupportToner(true);
    printer->setTonerText("{}");

    QString token;
    const int requests = m_sim.printer(address)->stats().totalRequests();
    if (setup == "busy") {
        QCOMPARE(getManageConnector(printer)->acquire(token), 0);
    }
    lines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureLine);
    const QStringList polled = poll(printer->printerName());
    qInstallMessageHandler(previous);
    QCOMPARE(polled, report);
    // A failing step logs under the poll's own name, whichever step it is.
    if (report.first().startsWith("300") && report.first() != "30006") {
        QMutexLocker locker(&linesMutex);
        QVERIFY2(!lines.filter(" getPrinterStatusOnPrivateChannel ]").isEmpty(), qPrintable(lines.join('\n')));
    }
    if (setup == "busy") {
        getManageConnector(printer)->release(token, false);
        QCOMPARE(m_sim.printer(address)->stats().totalRequests(), requests);
    }
    QCOMPARE(printer->tonerText() == QString::fromUtf8(TonerFailureText), report.first().startsWith("300"));
    if (sim.contains("toners")) {
        const QList<TonerEntry> toners = parseToners(printer->tonerText());
        QCOMPARE(toners.size(), 16);
        QCOMPARE(toners.first().tonerDescription.size(), 256);
    }
    if (sim.contains("fault")) {
        QVERIFY(printer->connectorIds().isEmpty() || sim.value("fault") == "badToken");
        QVERIFY(m_sim.load({ simPrinter(address) }));
        QTRY_COMPARE_WITH_TIMEOUT(poll("office"), QStringList{ "10000" }, 5000);
    }
}

// Hung printers, as many as polls may run at once, are asked first; the
// healthy ones are polled all the same. Runs last of the polls: it ends with
// the poller stopped.
void TestStatus::hungPrintersHoldUpOnlyThemselves()
{
    // The real receive time-out of two minutes: the hung printers' polls outlast the test.
    const int hungPrinters = ListenPrinterStatus::MaxActivePolls;
    QList<QJsonObject> fleet;
    for (int i = 0; i < hungPrinters + 4; ++i) {
        const QString address = QString("127.0.0.%1").arg(100 + i);
        const bool hung = i < hungPrinters;
        fleet << simPrinter(address, hung ? QJsonObject{ { "fault", "silent" } } : QJsonObject());
        const QString name = QString(hung ? "hung-%1" : "fine-%1").arg(i);
        PrinterRegistry::instance().addPrinterContext(address, name, false, 0, 0)->setModel("Ostrel TR-M400 Series");
    }
    QVERIFY(m_sim.load(fleet));
    QStringList hungNames;
    for (int i = 0; i < hungPrinters; ++i) {
        hungNames << QString("hung-%1").arg(i);
    }
    onPoller([this, hungNames] { m_poller->listenPrinterStatus(hungNames, true); });
    onPoller([this] { m_poller->refreshPrinterStatus(); });
    for (int i = hungPrinters; i < hungPrinters + 4; ++i) {
        QCOMPARE(waitForReport(QString("fine-%1").arg(i), 3000), QStringList{ "10000" });
    }
    // A click on a hung printer while its poll runs neither sends anything
    // nor waits for the connector to report busy.
    const auto hung = m_sim.printer("127.0.0.100");
    QTRY_COMPARE(hung->stats().requests.value("login"), 1);
    onPoller([this] { m_poller->updatePrinterStatus("hung-0"); });
    QCOMPARE(waitForReport("hung-0", Connector::UsageWaitMs + 1000), QStringList{ "no report" });
    QCOMPARE(hung->stats().requests.value("login"), 1);
    QCOMPARE(hung->stats().connections, 1);
    QVERIFY(m_reports.isEmpty());

    // Stopping cuts the hung connections instead of waiting for their time-out.
    QElapsedTimer stopping;
    stopping.start();
    stopPoller();
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
}

void TestStatus::tonerDisplay_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("showTable");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("rows"); // label, bar maximum, bar value, percentage
    const auto reply = [](const QString& colour, const QJsonValue& max, const QJsonValue& level) {
        QJsonObject toner{ { "tonerId", "T" }, { "maxCapacity", max }, { "suppliesLevel", level } };
        if (!colour.isNull()) {
            toner.insert("tonerColor", colour);
        }
        const QJsonObject group{ { "toners", QJsonArray{ toner } } };
        return QString(QJsonDocument(QJsonObject{ { "model", "TR-M400" }, { "tonerGroup", group } }).toJson());
    };
    const QString failure = QString::fromUtf8(TonerFailureText);
    const auto row = [](const char* tag, const QString& text, bool table, const QString& label,
                        const QStringList& rows) { QTest::newRow(tag) << text << table << label << rows; };
    row("quarter", reply("black", 8000, 2000), true, "", { "黑色墨盒剩余量:", "8000", "2000", "25%" });
    // Percentages are cut, not rounded: the last percent is not shown as left.
    row("two thirds", reply("black", 3, 2), true, "", { "黑色墨盒剩余量:", "3", "2", "66%" });
    row("under one percent", reply("black", 1000, 9), true, "", { "黑色墨盒剩余量:", "1000", "9", "0%" });
    row("both zero", reply("Cyan", 0, 0), true, "", { "青色墨盒剩余量:", "100", "0", "0%" });
    row("negative level", reply("Magenta", 100, -5), true, "", { "品红墨盒剩余量:", "100", "0", "0%" });
    row("unknown colour", reply("green", 10, 5), true, "", { "", "10", "5", "50%" });
    row("levels as text", reply("black", "8000", "2000"), true, "", { "黑色墨盒剩余量:", "100", "0", "0%" });
    row("no colour dropped", reply(QString(), 10, 5), false, failure, {});
    row("failure text", failure, true, failure, {});
    row("toners not an array", R"({"tonerGroup":{"toners":{"a":1}}})", false, failure, {});
    row("entries without table", reply("black", 1, 1), false, "", {});
    // Levels beyond int are scaled into the bar's range, keeping their ratio.
    row("just above int", reply("black", 2147483648.0, 715827882.0), true, "",
        { "黑色墨盒剩余量:", "1073741824", "357913941", "33%" });
    row("huge, nearly empty", reply("black", 9e15, 1e13), true, "",
        { "黑色墨盒剩余量:", "2145767211", "2384185", "0%" });
    row("huge, full", reply("black", 9e15, 9e15), true, "", { "黑色墨盒剩余量:", "2145767211", "2145767211", "100%" });
}

void TestStatus::tonerDisplay()
{
    QFETCH(QString, text);
    QFETCH(bool, showTable);
    QFETCH(QString, label);
    QFETCH(QStringList, rows);
    const TonerView view = tonerView(text, showTable);
    QCOMPARE(view.label, label);
    QStringList shown;
    for (const TonerEntry& entry : view.entries) {
        const TonerBar bar = tonerBar(entry);
        shown << tonerColorLabel(entry.tonerColor) << QString::number(bar.maximum) << QString::number(bar.value)
              << tonerPercentText(entry);
    }
    QCOMPARE(shown, rows);
}

// Every message but the one for 200000, written without it, names its own
// code; a code without a message of its own gets the general one, with the code.
void TestStatus::statusMessagesCarryTheirCode()
{
    const QString fallback = QStringLiteral("未知错误，请重新启动或呼叫维修(");
    int own = 0;
    for (int code = -2; code < 600000; ++code) {
        const QString message = statusMessage(code);
        const QString suffix = QLatin1Char('(') + QString::number(code) + QLatin1Char(')');
        if (message != fallback + suffix.mid(1) && ++own && code != 200000
            && (!message.endsWith(suffix) || message.size() <= suffix.size())) {
            QFAIL(qPrintable(message));
        }
    }
    QCOMPARE(own, 107);
    QCOMPARE(statusMessage(200000), QStringLiteral("多页进纸错误，请打开前盖清除纸张"));
}

QTEST_GUILESS_MAIN(TestStatus)
#include "TestStatus.moc"
