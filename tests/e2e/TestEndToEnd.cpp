// The real agent binary, offscreen, against a private print server and a
// printer-sim process: what a user sees happen when printers come and go.

#include "CupsSandbox.h"
#include "SimPrinter.h"
#include "TestPorts.h"
#include "UsbSimPrinter.h"
#include "UsbTestbed.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace
{
// The agent polls every printer once a minute.
constexpr int PollPeriodMs = 60000;

// A process whose merged output is collected as it arrives.
class LoggedProcess
{
public:
    ~LoggedProcess() { stop(); }

    void start(const QString& program, const QStringList& args = {})
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, args);
        m_process.waitForStarted();
    }
    bool waitFor(const QString& text, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (true) {
            m_log += QString::fromUtf8(m_process.readAll());
            const int at = m_log.indexOf(text, m_seen);
            if (at >= 0) {
                m_seen = at + text.size();
                return true;
            }
            if (timer.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning) {
                return false;
            }
            m_process.waitForReadyRead(100);
        }
    }
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished();
            }
        }
    }
    QString log()
    {
        m_log += QString::fromUtf8(m_process.readAll());
        return m_log;
    }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QString m_log;
    int m_seen = 0;
};

QJsonObject simPrinter(const QString& address, const QJsonObject& extra = {})
{
    QJsonObject printer{
        { "address", address },
        { "model", "TR-M400" },
        { "toners",
          QJsonArray{ QJsonObject{ { "tonerColor", "black" }, { "maxCapacity", 8000 }, { "suppliesLevel", 6000 } } } }
    };
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        printer.insert(it.key(), it.value());
    }
    return printer;
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void printerLifecycle();
    void hungPrinterDoesNotDelayExit();
    void usbPrinterEndToEnd();

private:
    void startAgent();
    void writeScenario(const QList<QJsonObject>& printers);

    CupsSandbox m_cups;
    QTemporaryDir m_dir;
    QString m_agent;
    QString m_scenario;
    LoggedProcess m_sim;
    LoggedProcess m_agentProcess;
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

    // The agent in a tree of its own: its lock port must not meet a real
    // agent's, and its data directory is the tree's.
    QDir root(m_dir.path());
    QVERIFY(root.mkpath("bin") && root.mkpath("data/database"));
    m_agent = root.filePath("bin/printer-status-monitor");
    QVERIFY(QFile::copy(PSM_BUILD_DIR "/bin/printer-status-monitor", m_agent));
    QVERIFY(QFile::copy(PSM_BUILD_DIR "/data/database/settings.db", root.filePath("data/database/settings.db")));
    QFile shipped(PSM_BUILD_DIR "/data/config.json");
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QJsonObject config = QJsonDocument::fromJson(shipped.readAll()).object();
    config.insert("excludePort", freeLoopbackPort());
    QVERIFY(m_probe.listen(QHostAddress::LocalHost, 0));
    config.insert("networkProbe", QJsonObject{ { "host", "127.0.0.1" }, { "port", m_probe.serverPort() } });
    QFile configFile(root.filePath("data/config.json"));
    QVERIFY(configFile.open(QIODevice::WriteOnly));
    configFile.write(QJsonDocument(config).toJson());
    configFile.close();

    m_scenario = root.filePath("scenario.json");
    writeScenario({ simPrinter("127.0.0.130") });
    m_sim.start(PSM_BUILD_DIR "/bin/printer-sim", { m_scenario });
    QVERIFY2(m_sim.waitFor("printer-sim: ready", 10000), qPrintable(m_sim.log()));
}

void TestEndToEnd::cleanupTestCase()
{
    m_agentProcess.stop();
    if (m_usb) {
        for (const UsbSimDevicePtr& device : m_usb->devices()) {
            m_usb->unplug(device);
        }
    }
    m_sim.stop();
    m_cups.stop();
}

void TestEndToEnd::startAgent()
{
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    m_agentProcess.process().setProcessEnvironment(env);
    m_agentProcess.start(m_agent);
    QVERIFY2(m_agentProcess.waitFor("start listen success", 15000), qPrintable(m_agentProcess.log()));
}

void TestEndToEnd::writeScenario(const QList<QJsonObject>& printers)
{
    QJsonArray array;
    for (const QJsonObject& printer : printers) {
        array.append(printer);
    }
    QFile file(m_scenario + ".new");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(QJsonObject{ { "printers", array } }).toJson());
    file.close();
    // Replaced in one step, so the simulator never reads half a file.
    QFile::remove(m_scenario);
    QVERIFY(QFile::rename(m_scenario + ".new", m_scenario));
}

void TestEndToEnd::printerLifecycle()
{
    startAgent();

    // A queue for a supported model appears: the watcher registers it, the
    // monitor window selects it as the first printer and has it polled.
    QVERIFY(m_cups.addQueue("office", "socket://127.0.0.130:9100", "TR-M400"));
    QVERIFY2(m_agentProcess.waitFor(R"(addPrinterContext ] IP: "127.0.0.130" Name: "office" isUSB: false)", 10000),
             qPrintable(m_agentProcess.log()));
    QVERIFY2(m_agentProcess.waitFor("打印机状态正常(10000)", 20000), qPrintable(m_agentProcess.log()));

    // The printer jams: the next periodic poll reports the jam.
    writeScenario(
        { simPrinter("127.0.0.130", { { "state", 3 }, { "flags", QJsonArray{ 32 } }, { "detail", "x,1,200324" } }) });
    QVERIFY2(m_agentProcess.waitFor("卡纸，请打开前盖并拉出硒鼓来清除卡纸(200324)", PollPeriodMs + 20000),
             qPrintable(m_agentProcess.log()));
    QVERIFY(m_agentProcess.log().contains("打印机卡纸(20006)"));

    // The printer stops answering: the failure code appears.
    m_sim.stop();
    QVERIFY2(m_agentProcess.waitFor("网络连接失败，请检查网络连接(30001)", PollPeriodMs + 20000),
             qPrintable(m_agentProcess.log()));

    // The queue is deleted: the printer leaves the registry and the list.
    QVERIFY(m_cups.removeQueue("office"));
    QVERIFY2(m_agentProcess.waitFor(R"(del printers: "office")", 10000), qPrintable(m_agentProcess.log()));
    QCOMPARE(m_agentProcess.process().state(), QProcess::Running);

    // The illegal-outreach check is off in a fresh settings database, so in
    // all this time the agent never probed.
    m_probe.waitForNewConnection(0);
    QVERIFY(!m_probe.hasPendingConnections());
}

void TestEndToEnd::hungPrinterDoesNotDelayExit()
{
    // A printer that takes the connection and never answers, polled by a
    // fresh agent as its first printer.
    writeScenario({ simPrinter("127.0.0.131", { { "fault", "silent" } }) });
    m_sim.stop();
    m_sim.start(PSM_BUILD_DIR "/bin/printer-sim", { "-v", m_scenario });
    QVERIFY2(m_sim.waitFor("printer-sim: ready", 10000), qPrintable(m_sim.log()));
    m_agentProcess.stop();
    startAgent();
    QVERIFY(m_cups.addQueue("hung", "socket://127.0.0.131:9100", "TR-M400"));
    QVERIFY2(m_sim.waitFor("to 127.0.0.131", 15000), qPrintable(m_sim.log()));
    QTest::qWait(500);

    QElapsedTimer timer;
    timer.start();
    m_agentProcess.process().terminate();
    QVERIFY2(m_agentProcess.process().waitForFinished(2000), qPrintable(m_agentProcess.log()));
    QVERIFY(timer.elapsed() < 2000);
    QVERIFY(m_cups.removeQueue("hung"));
}

void TestEndToEnd::usbPrinterEndToEnd()
{
    if (!m_usb) {
        QSKIP("needs umockdev's preload library (run through ctest)");
    }
    if (m_agentProcess.process().state() != QProcess::Running) {
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
    QVERIFY2(m_agentProcess.waitFor(R"(Name: "2d8f:a61c:SNE2E01" isUSB: true)", 15000),
             qPrintable(m_agentProcess.log()));
    QVERIFY2(m_agentProcess.waitFor("序列号：SNE2E01", PollPeriodMs + 20000), qPrintable(m_agentProcess.log()));
    QVERIFY(m_agentProcess.waitFor("打印机卡纸(20006)", 5000));
    QVERIFY(printer->stats().requests.value(QStringLiteral("getPrinterStatus")) >= 1);

    // Unplugged, it leaves the registry.
    m_usb->unplug(device);
    QVERIFY2(m_agentProcess.waitFor(R"(del printers: "2d8f:a61c:SNE2E01")", 15000), qPrintable(m_agentProcess.log()));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "TestEndToEnd.moc"
