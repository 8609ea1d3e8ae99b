#include "SimThread.h"
#include "channel/Connector.h"
#include "channel/ConnectorRegistry.h"
#include "channel/SocketConnector.h"
#include "core/PrinterRegistry.h"
#include "status/ListenPrinterStatus.h"
#include "status/StatusMessage.h"
#include "status/TonerInfo.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <QThread>

namespace
{
QJsonObject simPrinter(const QString& address, const QJsonObject& extra = {})
{
    QJsonObject printer{
        { "address", address },
        { "model", "TR-M400" },
        { "toners",
          QJsonArray{ QJsonObject{
              { "tonerId", "K1" }, { "tonerColor", "black" }, { "maxCapacity", 8000 }, { "suppliesLevel", 2000 } } } }
    };
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        printer.insert(it.key(), it.value());
    }
    return printer;
}

// Reports of the poller, collected on the test thread.
class ReportCollector : public QObject
{
public:
    QList<QPair<QString, QStringList>> reports;
    void onReport(const QString& name, const QStringList& list) { reports.append({ name, list }); }
};
} // namespace

class TestStatus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void pollReport_data();
    void pollReport();
    void tonerTextFollowsThePoll();
    void busyConnectorReportsBusy();
    void hungPrinterHoldsUpOnlyItself();
    void listenPollsOnlyWhenAsked();

    void tonerDisplay_data();
    void tonerDisplay();
    void tonerBarFitsAProgressBar_data();
    void tonerBarFitsAProgressBar();
    void statusMessagesCarryTheirCode();

private:
    void startPoller();
    void stopPoller();
    void poll(const QString& name);
    QStringList waitForReport(const QString& name, int timeoutMs = 15000);

    SimThread* m_sim = nullptr;
    QThread m_pollerThread;
    ListenPrinterStatus* m_poller = nullptr;
    ReportCollector m_collector;
};

void TestStatus::initTestCase()
{
    qRegisterMetaType<QStringList>();
    m_sim = new SimThread;
    startPoller();
    // A printer that never answers should cost seconds, not two minutes.
    SocketConnector::setReceiveTimeoutForTesting(1500);
}

void TestStatus::startPoller()
{
    m_poller = new ListenPrinterStatus;
    m_poller->moveToThread(&m_pollerThread);
    connect(m_poller, &ListenPrinterStatus::printerStatusChanged, &m_collector, &ReportCollector::onReport,
            Qt::QueuedConnection);
    m_pollerThread.start();
}

void TestStatus::stopPoller()
{
    QMetaObject::invokeMethod(
        m_poller, [this] { delete m_poller; }, Qt::BlockingQueuedConnection);
    m_pollerThread.quit();
    m_pollerThread.wait();
}

void TestStatus::init()
{
    PrinterRegistry::instance().clear();
    m_collector.reports.clear();
}

void TestStatus::cleanup()
{
    for (const auto& printer : PrinterRegistry::instance().getPrinterContexts()) {
        resetConnectors(printer);
    }
}

void TestStatus::cleanupTestCase()
{
    stopPoller();
    delete m_sim;
    SocketConnector::setReceiveTimeoutForTesting(0);
}

void TestStatus::poll(const QString& name)
{
    QMetaObject::invokeMethod(
        m_poller, [this, name] { m_poller->updatePrinterStatus(name); }, Qt::QueuedConnection);
}

QStringList TestStatus::waitForReport(const QString& name, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        for (int i = 0; i < m_collector.reports.size(); ++i) {
            if (m_collector.reports.at(i).first == name) {
                return m_collector.reports.takeAt(i).second;
            }
        }
        QTest::qWait(20);
    }
    return { "no report" };
}

void TestStatus::pollReport_data()
{
    QTest::addColumn<QJsonObject>("sim"); // the simulated printer's extra settings
    QTest::addColumn<QString>("recordModel"); // the make-and-model the watcher stored
    QTest::addColumn<bool>("usb"); // a USB record that no device serves
    QTest::addColumn<QStringList>("report");
    const auto row = [](const char* tag, const QJsonObject& sim, const QStringList& report, bool usb = false,
                        const QString& model = QStringLiteral("Ostrel TR-M400 Series")) {
        QTest::newRow(tag) << sim << model << usb << report;
    };
    row("normal, flags ignored", { { "state", 0 }, { "flags", QJsonArray{ 4, 64 } } }, { "10000" });
    row("standby, flags ignored", { { "state", 8 }, { "flags", QJsonArray{ 4 } } }, { "10008" });
    row("warning with flags", { { "state", 3 }, { "flags", QJsonArray{ 4, 64 } } }, { "10003", "20003", "20007" });
    row("last flag and unknown flags", { { "state", 2 }, { "flags", QJsonArray{ 16384, 3, 32768, -1 } } },
        { "10002", "20015", "0", "0", "0" });
    row("state out of range", { { "state", 9 } }, { "0" });
    row("negative state", { { "state", -1 }, { "flags", QJsonArray{ 1 } } }, { "0", "20001" });
    row("detail codes", { { "state", 1 }, { "detail", "x,2,200030ab,201600" } }, { "10001", "200030", "201600" });
    row("detail count mismatch", { { "state", 1 }, { "detail", "x,3,200030" } }, { "10001" });
    row("detail zero count", { { "state", 1 }, { "detail", "x,0" } }, { "10001" });
    row("detail dots and quotes", { { "state", 6 }, { "detail", "\"a.b\",1,\"200.324\"" } }, { "10006", "200324" });
    row("detail not a number", { { "state", 6 }, { "detail", "x,two,200324,1" } }, { "10006" });
    row("detail empty parts kept", { { "state", 6 }, { "detail", "x,2,,200324" } }, { "10006", "", "200324" });
    QStringList manyCodes;
    for (int i = 0; i < 1000; ++i) {
        manyCodes << "200030";
    }
    row("report cut to its bound", { { "state", 1 }, { "detail", "x,1000," + manyCodes.join(',') } },
        QStringList{ "10001" } + manyCodes.mid(0, 63));
    row("login refused", { { "loginResult", 5 } }, { "30007" });
    row("usb printer unreachable", {}, { "30004" }, true);
    row("other model", { { "model", "TR-C3000" } }, { "30005" });
    row("colour 3800 naming", { { "model", "TR3800c" } }, { "10000" }, false, "Ostrel TR Color 3800 Series");
}

void TestStatus::pollReport()
{
    QFETCH(QJsonObject, sim);
    QFETCH(QString, recordModel);
    QFETCH(bool, usb);
    QFETCH(QStringList, report);

    const QString address = "127.0.0.90";
    QVERIFY(m_sim->load({ simPrinter(address, sim) }));

    auto& registry = PrinterRegistry::instance();
    PrinterContextPtr printer;
    if (usb) {
        printer = registry.addPrinterContext("TR-M400", "2d8f:a61c:NOSUCHDEVICE", true, 7, 1);
        printer->setKind(1);
    } else {
        printer = registry.addPrinterContext(address, "office", false, 0, 0);
    }
    printer->setModel(recordModel);
    poll(printer->printerName());
    QCOMPARE(waitForReport(printer->printerName()), report);
}

void TestStatus::tonerTextFollowsThePoll()
{
    const QString address = "127.0.0.91";
    auto printer = PrinterRegistry::instance().addPrinterContext(address, "toner", false, 0, 0);
    printer->setModel("Ostrel TR-M400 Series");

    // A good poll stores the reply: its cartridges are what the window shows.
    printer->setSupportToner(true);
    QVERIFY(m_sim->load({ simPrinter(address) }));
    poll("toner");
    QCOMPARE(waitForReport("toner"), QStringList{ "10000" });
    const auto toners = parseToners(printer->tonerText());
    QCOMPARE(toners.size(), 1);
    QCOMPARE(tonerPercentText(toners.first()), QString("25%"));

    // A printer cannot flood the window with cartridges or long texts.
    QJsonArray many;
    for (int i = 0; i < 40; ++i) {
        many.append(QJsonObject{ { "tonerColor", "black" }, { "tonerDescription", QString(5000, 'd') } });
    }
    QVERIFY(m_sim->load({ simPrinter(address, { { "toners", many } }) }));
    poll("toner");
    QCOMPARE(waitForReport("toner"), QStringList{ "10000" });
    QCOMPARE(parseToners(printer->tonerText()).size(), 16);
    QCOMPARE(parseToners(printer->tonerText()).first().tonerDescription.size(), 256);

    // A printer without toner keeps its text on a failure ...
    QVERIFY(m_sim->load({ simPrinter(address, { { "loginResult", 9 } }) }));
    printer->setSupportToner(false);
    printer->setTonerText("kept");
    poll("toner");
    QCOMPARE(waitForReport("toner"), QStringList{ "30007" });
    QCOMPARE(printer->tonerText(), QString("kept"));

    // ... but a model mismatch clears it.
    QVERIFY(m_sim->load({ simPrinter(address, { { "model", "TR-C3000" } }) }));
    poll("toner");
    QCOMPARE(waitForReport("toner"), QStringList{ "30005" });
    QVERIFY(printer->tonerText().isEmpty());
}

void TestStatus::busyConnectorReportsBusy()
{
    const QString address = "127.0.0.92";
    QVERIFY(m_sim->load({ simPrinter(address) }));
    auto printer = PrinterRegistry::instance().addPrinterContext(address, "busy", false, 0, 0);
    printer->setModel("Ostrel TR-M400 Series");
    auto connector = getManageConnector(printer);
    QVERIFY(connector);
    QString token;
    QCOMPARE(connector->acquire(token), 0);
    const int before = m_sim->printer(address)->stats().totalRequests();

    poll("busy");
    QCOMPARE(waitForReport("busy", 12000), QStringList{ "999999" });
    QCOMPARE(m_sim->printer(address)->stats().totalRequests(), before);
    connector->release(token, false);

    poll("busy");
    QCOMPARE(waitForReport("busy"), QStringList{ "10000" });
}

void TestStatus::hungPrinterHoldsUpOnlyItself()
{
    // The full receive time-out: the hung printer's poll outlasts the test.
    SocketConnector::setReceiveTimeoutForTesting(0);
    QList<QJsonObject> fleet{ simPrinter("127.0.0.93", { { "fault", "silent" } }) };
    QStringList healthy;
    auto& registry = PrinterRegistry::instance();
    registry.addPrinterContext("127.0.0.93", "a-hung", false, 0, 0)->setModel("Ostrel TR-M400 Series");
    for (int i = 0; i < 12; ++i) {
        const QString address = QString("127.0.0.%1").arg(100 + i);
        fleet << simPrinter(address);
        healthy << QString("fine-%1").arg(i, 2, 10, QChar('0'));
        registry.addPrinterContext(address, healthy.last(), false, 0, 0)->setModel("Ostrel TR-M400 Series");
    }
    QVERIFY(m_sim->load(fleet));

    QMetaObject::invokeMethod(
        m_poller, [this] { m_poller->refreshPrinterStatus(); }, Qt::QueuedConnection);
    for (const QString& name : healthy) {
        QCOMPARE(waitForReport(name, 3000), QStringList{ "10000" });
    }
    // A click on the hung printer while its poll runs sends nothing new.
    const auto hung = m_sim->printer("127.0.0.93");
    QTRY_COMPARE(hung->stats().requests.value("login"), 1);
    poll("a-hung");
    QMetaObject::invokeMethod(
        m_poller, [this] { m_poller->refreshPrinterStatus(); }, Qt::QueuedConnection);
    for (const QString& name : healthy) {
        QCOMPARE(waitForReport(name, 3000), QStringList{ "10000" });
    }
    QCOMPARE(hung->stats().requests.value("login"), 1);
    QCOMPARE(hung->stats().connections, 1);
    QVERIFY(!m_collector.reports.contains({ "a-hung", { "30001" } }));

    // Stopping cuts the hung connection instead of waiting for its time-out.
    QElapsedTimer stopping;
    stopping.start();
    stopPoller();
    QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
    startPoller();
    SocketConnector::setReceiveTimeoutForTesting(1500);
}

void TestStatus::listenPollsOnlyWhenAsked()
{
    QVERIFY(m_sim->load({ simPrinter("127.0.0.95") }));
    PrinterRegistry::instance().addPrinterContext("127.0.0.95", "a", false, 0, 0)->setModel("Ostrel TR-M400 Series");

    QMetaObject::invokeMethod(
        m_poller, [this] { m_poller->listenPrinterStatus({ "a" }, false); }, Qt::BlockingQueuedConnection);
    QMetaObject::invokeMethod(
        m_poller, [this] { m_poller->listenPrinterStatus({}, true); }, Qt::BlockingQueuedConnection);
    QTest::qWait(200);
    QVERIFY(m_collector.reports.isEmpty());

    // An unknown name polls the default record (no address, not USB), which
    // fails at login.
    QMetaObject::invokeMethod(
        m_poller, [this] { m_poller->listenPrinterStatus({ "nobody" }, true); }, Qt::QueuedConnection);
    QCOMPARE(waitForReport("nobody"), QStringList{ "30001" });
    QTest::qWait(200);
    QVERIFY(m_collector.reports.isEmpty());
}

void TestStatus::tonerDisplay_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("showTable");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QStringList>("rows"); // label, bar maximum, bar value, percentage

    auto toner = [](const QString& colour, const QJsonValue& max, const QJsonValue& level) {
        QJsonObject object{ { "tonerId", "T" }, { "maxCapacity", max }, { "suppliesLevel", level } };
        if (!colour.isNull()) {
            object.insert("tonerColor", colour);
        }
        return object;
    };
    auto reply = [](const QJsonArray& toners) {
        return QString::fromUtf8(
            QJsonDocument(QJsonObject{ { "model", "TR-M400" }, { "tonerGroup", QJsonObject{ { "toners", toners } } } })
                .toJson(QJsonDocument::Compact));
    };
    const QString failure = QString::fromUtf8(TonerFailureText);
    const auto row = [](const char* tag, const QString& text, bool table, const QString& label,
                        const QStringList& rows) { QTest::newRow(tag) << text << table << label << rows; };

    row("quarter", reply({ toner("black", 8000, 2000) }), true, QString(),
        { "黑色墨盒剩余量:", "8000", "2000", "25%" });
    // Percentages are cut, not rounded: the last percent is not shown as left.
    row("two thirds", reply({ toner("black", 3, 2) }), true, QString(), { "黑色墨盒剩余量:", "3", "2", "66%" });
    row("under one percent", reply({ toner("black", 1000, 9) }), true, QString(),
        { "黑色墨盒剩余量:", "1000", "9", "0%" });
    row("both zero", reply({ toner("Cyan", 0, 0) }), true, QString(), { "青色墨盒剩余量:", "100", "0", "0%" });
    row("no capacity", reply({ toner("yellow", 0, 50) }), true, QString(), { "黄色墨盒剩余量:", "0", "0", "0%" });
    row("negative level", reply({ toner("Magenta", 100, -5) }), true, QString(),
        { "品红墨盒剩余量:", "100", "0", "0%" });
    row("unknown colour", reply({ toner("green", 10, 5) }), true, QString(), { "", "10", "5", "50%" });
    row("levels as text", reply({ toner("black", "8000", "2000") }), true, QString(),
        { "黑色墨盒剩余量:", "100", "0", "0%" });
    row("no colour dropped", reply({ toner(QString(), 10, 5) }), false, failure, {});
    row("failure text", failure, true, failure, {});
    row("toners not an array", R"({"tonerGroup":{"toners":{"a":1}}})", false, failure, {});
    row("group a string", R"({"tonerGroup":"x"})", true, QString(), {});
    row("entries without table", reply({ toner("black", 1, 1) }), false, QString(), {});
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

void TestStatus::tonerBarFitsAProgressBar_data()
{
    QTest::addColumn<qint64>("full");
    QTest::addColumn<qint64>("level");
    QTest::newRow("just above int") << qint64(INT_MAX) + 1 << qint64(INT_MAX) / 3;
    QTest::newRow("huge, half") << qint64(9e15) << qint64(4.5e15);
    QTest::newRow("huge, nearly empty") << qint64(9e15) << qint64(1e13);
    QTest::newRow("huge, full") << qint64(9e15) << qint64(9e15);
    QTest::newRow("level above huge capacity") << qint64(3e12) << qint64(5e12);
}

// Levels beyond int are scaled into the bar's range keeping their ratio, so
// that the bar and the percentage agree.
void TestStatus::tonerBarFitsAProgressBar()
{
    QFETCH(qint64, full);
    QFETCH(qint64, level);
    TonerEntry entry;
    entry.maxCapacity = full;
    entry.suppliesLevel = level;
    const TonerBar bar = tonerBar(entry);
    QVERIFY(bar.maximum > INT_MAX / 4);
    QVERIFY(bar.value >= 0 && bar.value <= bar.maximum);
    const double shown = double(bar.value) / bar.maximum;
    QVERIFY2(qAbs(shown - std::min(1.0, double(level) / full)) < 1e-6, qPrintable(QString::number(shown)));
    const int percent = tonerPercentText(entry).chopped(1).toInt();
    QVERIFY(qAbs(percent - int(100 * double(level) / full)) <= 1);
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
        if (message.startsWith(fallback)) {
            if (message != fallback + QString::number(code) + QLatin1Char(')')) {
                QFAIL(qPrintable(message));
            }
        } else if (++own && code != 200000 && (!message.endsWith(suffix) || message.size() <= suffix.size())) {
            QFAIL(qPrintable(message));
        }
    }
    QCOMPARE(own, 107);
    QCOMPARE(statusMessage(200000), QStringLiteral("多页进纸错误，请打开前盖清除纸张"));
    QVERIFY(statusMessage(0).startsWith(fallback));
}

QTEST_GUILESS_MAIN(TestStatus)
#include "TestStatus.moc"
