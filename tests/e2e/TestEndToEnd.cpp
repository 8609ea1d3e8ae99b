// The real agent binary, offscreen, against a private print server and a
// printer-sim process: what a user sees happen when printers come and go.

#include "CupsSandbox.h"
#include "LoggedProcess.h"
#include "SimPrinter.h"
#include "TestPorts.h"
#include "UsbSimPrinter.h"
#include "UsbTestbed.h"

#include <QtTest>

namespace
{
// The agent polls every printer once a minute.
constexpr int PollPeriodMs = 60000;

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_agent.stop(); }
    void printerLifecycle();
    void hungPrinterDoesNotDelayExit();
    void usbPrinterEndToEnd();

private:
    void startAgent()
    {
        m_agent.start(m_dir.filePath("bin/printer-status-monitor"), QStringList());
        QVERIFY(m_agent.waitFor("start listen success", 15000));
    }
    // The one printer printer-sim serves; the simulator picks up the new file.
    void writeScenario(const QString& address, QJsonObject printer = {})
    {
        printer.insert("address", address);
        printer.insert("model", "TR-M400");
        writeJson(m_dir.filePath("scenario.json"), { { "printers", QJsonArray{ printer } } });
    }

    CupsSandbox m_cups;
    QTemporaryDir m_dir;
    LoggedProcess m_sim;
    LoggedProcess m_agent;
    QTcpServer m_probe; // stands in for the reachability probe's host
    std::unique_ptr<UsbTestbed> m_usb; // only under umockdev's preload library
};

void TestEndToEnd::initTestCase()
{
    QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError()));
    // The simulated USB bus must be in place before the agent starts libusb;
    // the agent inherits it through the environment.
    if (UsbTestbed::available()) {
        m_usb.reset(new UsbTestbed);
    }
    QVERIFY(m_probe.listen(QHostAddress::LocalHost, 0));
    QVERIFY(makeAgentTree(m_dir.path(), freeLoopbackPort(), m_probe.serverPort()));
    qputenv("QT_QPA_PLATFORM", "offscreen");

    writeScenario("127.0.0.130");
    m_sim.start(PSM_BUILD_DIR "/bin/printer-sim", { "-v", m_dir.filePath("scenario.json") });
    QVERIFY(m_sim.waitFor("printer-sim: ready", 10000));
}

void TestEndToEnd::printerLifecycle()
{
    startAgent();

    // A queue for a supported model appears: the watcher registers it, the
    // monitor window selects it as the first printer and has it polled.
    QVERIFY(m_cups.addQueue("office", "socket://127.0.0.130:9100", "TR-M400"));
    QVERIFY(m_agent.waitFor(R"(addPrinterContext ] IP: "127.0.0.130" Name: "office" isUSB: false)", 10000));
    QVERIFY(m_agent.waitFor("打印机状态正常(10000)", 20000));

    // The printer jams: the next periodic poll reports the jam.
    writeScenario("127.0.0.130", { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } });
    QVERIFY(m_agent.waitFor("打印机卡纸(20006)", PollPeriodMs + 20000));
    QVERIFY(m_agent.waitFor("卡纸，请打开前盖并拉出硒鼓来清除卡纸(200324)", 1000));

    // The queue is deleted: the printer leaves the registry and the list.
    QVERIFY(m_cups.removeQueue("office"));
    QVERIFY(m_agent.waitFor(R"(del printers: "office")", 10000));

    // The illegal-outreach check is off in a fresh settings database, so in
    // all this time the agent never probed.
    QVERIFY(!m_probe.waitForNewConnection(0));
}

void TestEndToEnd::hungPrinterDoesNotDelayExit()
{
    // A printer that takes the connection and never answers, polled by a
    // fresh agent as its first printer.
    writeScenario("127.0.0.131", { { "fault", "silent" } });
    QVERIFY(m_sim.waitFor("listening on 127.0.0.131", 10000));
    m_agent.stop();
    startAgent();
    QVERIFY(m_cups.addQueue("hung", "socket://127.0.0.131:9100", "TR-M400"));
    QVERIFY(m_sim.waitFor("to 127.0.0.131", 15000));
    QTest::qWait(500);

    QElapsedTimer timer;
    timer.start();
    m_agent.terminate();
    QVERIFY(m_agent.waitForFinished(2000));
    QVERIFY(timer.elapsed() < 2000);
    QVERIFY(m_cups.removeQueue("hung"));
}

void TestEndToEnd::usbPrinterEndToEnd()
{
    if (!m_usb) {
        QSKIP("needs umockdev's preload library (run through ctest)");
    }
    if (m_agent.state() != QProcess::Running) {
        startAgent();
    }

    // A printer plugged in over USB, with the simulated printer behind it.
    UsbDeviceSpec spec; // 2d8f:a61c, "OSTREL TR-M400", one printer-class interface
    spec.serial = QStringLiteral("SNE2E01");
    const UsbSimDevicePtr device = m_usb->plug(spec);
    QVERIFY(device);
    SimPrinterConfig config;
    config.address = QStringLiteral("usb");
    config.model = QStringLiteral("TR-M400");
    config.state = 3;
    config.flags = { 32 };
    auto printer = std::make_shared<SimPrinter>(config);
    attachSimPrinter(device, printer);

    // The watcher registers it under its USB identity, reads its identity
    // over USB, and the poller reports it within a minute.
    QVERIFY(m_agent.waitFor(R"(Name: "2d8f:a61c:SNE2E01" isUSB: true)", 15000));
    QVERIFY(m_agent.waitFor("序列号：SNE2E01", PollPeriodMs + 20000));
    QVERIFY(m_agent.waitFor("打印机卡纸(20006)", 5000));
    QVERIFY(printer->stats().requests.value(QStringLiteral("getPrinterStatus")) >= 1);

    // Unplugged, it leaves the registry.
    m_usb->unplug(device);
    QVERIFY(m_agent.waitFor(R"(del printers: "2d8f:a61c:SNE2E01")", 15000));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "TestEndToEnd.moc"
