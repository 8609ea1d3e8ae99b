// The poller against a simulated printer that fails one step of the poll:
// each step reports its own code, a toner printer shows the failure text, no
// poll hangs, and once the printer is mended the next poll reports normally.
#include "SimThread.h"
#include "channel/ConnectorRegistry.h"
#include "core/PrinterRegistry.h"
#include "status/ListenPrinterStatus.h"
#include "status/TonerInfo.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <QThread>

namespace
{
const QString Address = QStringLiteral("127.0.0.140");
const QStringList NormalReport{ "10003", "20003", "20007", "200030", "201600" };

QJsonObject simPrinter(const QString& fault = QString(), const QString& method = QString())
{
    QJsonObject printer{ { "address", Address },
                         { "model", "TR-M400" },
                         { "state", 3 },
                         { "flags", QJsonArray{ 4, 64 } },
                         { "detail", "x,2,200030,201600" } };
    if (!fault.isEmpty()) {
        printer.insert("fault", fault);
    }
    if (!method.isEmpty()) {
        printer.insert("faultMethods", QJsonArray{ method });
    }
    return printer;
}

class ReportCollector : public QObject
{
public:
    QList<QPair<QString, QStringList>> reports;
    void onReport(const QString& name, const QStringList& list) { reports.append({ name, list }); }
};
} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void failingPollStep_data();
    void failingPollStep();

private:
    QStringList poll(const QString& name);

    SimThread* m_sim = nullptr;
    QThread m_pollerThread;
    ListenPrinterStatus* m_poller = nullptr;
    ReportCollector m_collector;
};

void TestFaults::initTestCase()
{
    qRegisterMetaType<QStringList>();
    m_sim = new SimThread;
    m_poller = new ListenPrinterStatus;
    m_poller->stopListenPrinterStatus(true); // polls only when asked
    m_poller->moveToThread(&m_pollerThread);
    connect(m_poller, &ListenPrinterStatus::printerStatusChanged, &m_collector, &ReportCollector::onReport,
            Qt::QueuedConnection);
    m_pollerThread.start();
}

void TestFaults::cleanupTestCase()
{
    QMetaObject::invokeMethod(
        m_poller, [this] { delete m_poller; }, Qt::BlockingQueuedConnection);
    m_pollerThread.quit();
    m_pollerThread.wait();
    ConnectorRegistry::instance().clear();
    PrinterRegistry::instance().clear();
    delete m_sim;
}

// One poll on the poller's thread; its report, or "no report" when it hangs.
QStringList TestFaults::poll(const QString& name)
{
    m_collector.reports.clear();
    QElapsedTimer timer;
    timer.start();
    QMetaObject::invokeMethod(
        m_poller, [this, name] { m_poller->updatePrinterStatus(name); }, Qt::QueuedConnection);
    while (m_collector.reports.isEmpty() && timer.elapsed() < 20000) {
        QTest::qWait(5);
    }
    if (m_collector.reports.isEmpty()) {
        return { "no report" };
    }
    const auto report = m_collector.reports.takeFirst();
    return report.first == name ? report.second : QStringList{ "report for " + report.first };
}

void TestFaults::failingPollStep_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("method"); // empty: every method
    QTest::addColumn<QString>("report");
    QTest::newRow("connection refused") << "refuse"
                                        << ""
                                        << "30001";
    QTest::newRow("login closed mid-frame") << "closeMidFrame"
                                            << "login"
                                            << "30001";
    QTest::newRow("login not a frame") << "garbage"
                                       << "login"
                                       << "30001";
    QTest::newRow("device id not a frame") << "garbage"
                                           << "getDeviceId"
                                           << "30002";
    QTest::newRow("device id token refused") << "badToken"
                                             << "getDeviceId"
                                             << "30002";
    QTest::newRow("device information closed mid-frame") << "closeMidFrame"
                                                         << "getDeviceInfo"
                                                         << "30005";
    QTest::newRow("device information token refused") << "badToken"
                                                      << "getDeviceInfo"
                                                      << "30005";
    QTest::newRow("status closed mid-frame") << "closeMidFrame"
                                             << "getPrinterStatus"
                                             << "30006";
    QTest::newRow("status oversized frame") << "oversized"
                                            << "getPrinterStatus"
                                            << "30006";
    QTest::newRow("status token refused") << "badToken"
                                          << "getPrinterStatus"
                                          << "30006";
}

void TestFaults::failingPollStep()
{
    QFETCH(QString, fault);
    QFETCH(QString, method);
    QFETCH(QString, report);
    PrinterRegistry::instance().clear();
    ConnectorRegistry::instance().clear();
    PrinterContextPtr printer = PrinterRegistry::instance().addPrinterContext(Address, "faulty", false, 0, 0);
    printer->setModel(QStringLiteral("Ostrel TR-M400 Series"));
    printer->setSupportToner(true);
    printer->setTonerText(QStringLiteral("{}"));

    QVERIFY(m_sim->load({ simPrinter(fault, method) }));
    QCOMPARE(poll("faulty"), QStringList{ report });
    QCOMPARE(printer->tonerText(), QString::fromUtf8(TonerFailureText));
    // A broken connection is not reused.
    QVERIFY(printer->connectorIds().isEmpty() || fault == "badToken");

    QVERIFY(m_sim->load({ simPrinter() }));
    QTRY_COMPARE_WITH_TIMEOUT(poll("faulty"), NormalReport, 5000);
    QVERIFY(printer->tonerText() != QString::fromUtf8(TonerFailureText));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "TestFaults.moc"
