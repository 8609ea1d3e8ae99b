// The agent's channel, poller, watcher and store against peers, servers and
// files that misbehave. Every case has a hard wall-clock bound, checked here:
// a fault may fail a call, never hang the agent.
#include "CupsSandbox.h"
#include "RawPeer.h"
#include "SimPrinter.h"
#include "SimThread.h"
#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
#include "channel/SocketConnector.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "discovery/ListenPrinterInfo.h"
#include "sqlcipher/SqlCipherDriver.h"
#include "status/ListenPrinterStatus.h"
#include "store/StoreOperations.h"
#include "store/TblSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

using Fault = RawPeer::Fault;

namespace
{

// Short enough that a stalled peer costs a second, long enough for a loaded
// machine to answer in time.
constexpr int ReceiveTimeoutMs = 1000;
// A poll whose printer answers, however the bytes arrive.
constexpr qint64 PollBoundMs = 3000;
// A poll that runs into one receive time-out.
constexpr qint64 StalledPollBoundMs = ReceiveTimeoutMs + 3000;

const QStringList NormalReport{ "10003", "20003", "20007", "200030", "201600" };

SimPrinterConfig peerPrinter(const QString& address)
{
    SimPrinterConfig config;
    config.address = address;
    config.model = QStringLiteral("TR-M400");
    config.state = 3;
    config.flags = { 4, 64 };
    config.detail = QStringLiteral("x,2,200030,201600");
    config.toners = QJsonArray{ QJsonObject{ { "tonerId", "K1" },
                                             { "tonerColor", "black" },
                                             { "tonerDescription", "黑色墨粉" },
                                             { "maxCapacity", 8000 },
                                             { "suppliesLevel", 2000 } } };
    return config;
}

QJsonObject simPrinter(const QString& address)
{
    return QJsonObject{ { "address", address },
                        { "model", "TR-M400" },
                        { "state", 3 },
                        { "flags", QJsonArray{ 4, 64 } },
                        { "detail", "x,2,200030,201600" } };
}

PrinterContextPtr registerPrinter(const QString& address, const QString& name)
{
    PrinterContextPtr printer = PrinterRegistry::instance().addPrinterContext(address, name, false, 0, 0);
    printer->setModel(QStringLiteral("Ostrel TR-M400 Series"));
    printer->setSupportToner(true);
    return printer;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// The agent's diagnostic lines are kept for the checks instead of flooding
// the test output; everything else goes to Qt's handler.
QStringList g_logLines;
std::mutex g_logLock;
QtMessageHandler g_previousHandler = nullptr;
void keepLogLines(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg) {
        std::lock_guard<std::mutex> locker(g_logLock);
        g_logLines << message;
        return;
    }
    g_previousHandler(type, context, message);
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
    void init();
    void cleanup();
    void cleanupTestCase();

    void replySplitAtEveryOffset();
    void shortReads_data();
    void shortReads();
    void stalledPeer_data();
    void stalledPeer();
    void peerNeverAccepts();
    void brokenReply_data();
    void brokenReply();
    void printerVanishesWithinAPoll_data();
    void printerVanishesWithinAPoll();
    void printerLeavesTheScenarioBetweenLoginAndStatus();
    void printServerRestartsDuringPolling();

    void databaseLockFileHeldByLiveProcess();
    void databaseLockFileOfKilledProcess_data();
    void databaseLockFileOfKilledProcess();
    void databaseLockedByLiveWriter_data();
    void databaseLockedByLiveWriter();
    void damagedDatabase_data();
    void damagedDatabase();

private:
    QStringList poll(const QString& name, qint64* elapsedMs = nullptr);
    void startPeer(RawPeer& peer);
    QString freshDatabase();
    bool startHelper(QProcess& helper, const QStringList& args);

    QTemporaryDir m_root;
    SimThread* m_sim = nullptr;
    QThread m_pollerThread;
    ListenPrinterStatus* m_poller = nullptr;
    ReportCollector m_collector;
    QString m_template;
    int m_files = 0;
};

void TestFaults::initTestCase()
{
    QVERIFY(m_root.isValid());
    // The store's lock file lies in the temporary directory, and libcups reads
    // lpoptions from $HOME: keep both apart from the machine's. Helper
    // processes inherit the same directories.
    const QString tmp = m_root.filePath(QStringLiteral("tmp"));
    const QString home = m_root.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(tmp) && QDir().mkpath(home));
    qputenv("TMPDIR", QFile::encodeName(tmp));
    qputenv("HOME", QFile::encodeName(home));
    QCOMPARE(QDir::tempPath(), tmp);
    g_previousHandler = qInstallMessageHandler(keepLogLines);

    qRegisterMetaType<QStringList>();
    ModelTable::clear();
    ModelTable::readModels(QStringLiteral(PSM_SOURCE_DIR "/data/config.json"));
    QVERIFY(!ModelTable::getModels().isEmpty());
    SocketConnector::setReceiveTimeoutForTesting(ReceiveTimeoutMs);

    m_sim = new SimThread;
    m_poller = new ListenPrinterStatus;
    m_poller->stopListenPrinterStatus(true); // polls only when asked
    m_poller->moveToThread(&m_pollerThread);
    connect(m_poller, &ListenPrinterStatus::printerStatusChanged, &m_collector, &ReportCollector::onReport,
            Qt::QueuedConnection);
    m_pollerThread.start();

    registerSqlCipherDriver();
    m_template = m_root.filePath(QStringLiteral("template.db"));
    QProcess tool;
    tool.start(QStringLiteral(CREATE_SETTINGS_DB), { m_template });
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);
}

void TestFaults::init()
{
    PrinterRegistry::instance().clear();
    ConnectorRegistry::instance().clear();
    m_collector.reports.clear();
    std::lock_guard<std::mutex> locker(g_logLock);
    g_logLines.clear();
}

void TestFaults::cleanup()
{
    ConnectorRegistry::instance().clear();
    PrinterRegistry::instance().clear();
    QVERIFY(m_sim->load({}));
}

void TestFaults::cleanupTestCase()
{
    QMetaObject::invokeMethod(
        m_poller, [this] { delete m_poller; }, Qt::BlockingQueuedConnection);
    m_pollerThread.quit();
    m_pollerThread.wait();
    delete m_sim;
    SocketConnector::setReceiveTimeoutForTesting(0);
    qInstallMessageHandler(g_previousHandler);
}

// One poll on the poller's thread; the report, or "no report" after 20 s.
QStringList TestFaults::poll(const QString& name, qint64* elapsedMs)
{
    m_collector.reports.clear();
    QElapsedTimer timer;
    timer.start();
    QMetaObject::invokeMethod(
        m_poller, [this, name] { m_poller->updatePrinterStatus(name); }, Qt::QueuedConnection);
    while (m_collector.reports.isEmpty() && timer.elapsed() < 20000) {
        QTest::qWait(1);
    }
    if (elapsedMs) {
        *elapsedMs = timer.elapsed();
    }
    if (m_collector.reports.isEmpty()) {
        return { "no report" };
    }
    const auto report = m_collector.reports.takeFirst();
    return report.first == name ? report.second : QStringList{ "report for " + report.first };
}

void TestFaults::startPeer(RawPeer& peer)
{
    QString error;
    QVERIFY2(peer.start(&error), qPrintable(error));
}

// A reply frame reaches the agent in two pieces, cut at every offset from
// inside the length word to the last byte; every one of the four replies of a
// poll is cut the same way.
void TestFaults::replySplitAtEveryOffset()
{
    RawPeer peer(QStringLiteral("127.0.0.140"), ManagementPort, peerPrinter(QStringLiteral("127.0.0.140")));
    startPeer(peer);
    registerPrinter(QStringLiteral("127.0.0.140"), QStringLiteral("split"));
    QCOMPARE(poll(QStringLiteral("split")), NormalReport);
    const int largest = peer.largestReply();
    QVERIFY(largest > 32);

    QElapsedTimer whole;
    whole.start();
    for (int offset = 1; offset < largest; ++offset) {
        peer.setScript({ Fault::Split, offset, 0, 1 });
        qint64 elapsed = 0;
        const QStringList report = poll(QStringLiteral("split"), &elapsed);
        QVERIFY2(report == NormalReport,
                 qPrintable(QStringLiteral("cut at %1: %2").arg(offset).arg(report.join(QLatin1Char(' ')))));
        QVERIFY2(elapsed < PollBoundMs, qPrintable(QStringLiteral("cut at %1: %2 ms").arg(offset).arg(elapsed)));
    }
    QVERIFY2(whole.elapsed() < 60000, qPrintable(QString::number(whole.elapsed())));
    qInfo("%d polls, replies cut at offsets 1 to %d, in %lld ms", largest - 1, largest - 1, whole.elapsed());
}

void TestFaults::shortReads_data()
{
    QTest::addColumn<int>("piece");
    QTest::addColumn<int>("pauseMs");
    QTest::newRow("one byte at a time") << 1 << 1;
    QTest::newRow("three bytes") << 3 << 2;
    QTest::newRow("less than a block") << 7 << 5;
    QTest::newRow("one block and one byte") << 17 << 5;
    // Pieces a while apart; the receive time-out bounds the whole reply, which still fits in it.
    QTest::newRow("slow pieces") << 64 << ReceiveTimeoutMs / 10;
}

// The reply dribbles in, so that reads return less than they asked for.
void TestFaults::shortReads()
{
    QFETCH(int, piece);
    QFETCH(int, pauseMs);
    RawPeer peer(QStringLiteral("127.0.0.141"), ManagementPort, peerPrinter(QStringLiteral("127.0.0.141")));
    startPeer(peer);
    registerPrinter(QStringLiteral("127.0.0.141"), QStringLiteral("dribble"));
    peer.setScript({ Fault::Dribble, piece, 0, pauseMs });
    qint64 elapsed = 0;
    QCOMPARE(poll(QStringLiteral("dribble"), &elapsed), NormalReport);
    QVERIFY2(elapsed < 15000, qPrintable(QString::number(elapsed)));
}

void TestFaults::stalledPeer_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("connection"); // 1 login, 2 device id, 3 device information, 4 status
    QTest::addColumn<QStringList>("report");
    QTest::newRow("silent at login") << int(Fault::Silent) << 0 << 1 << QStringList{ "30001" };
    QTest::newRow("silent at device id") << int(Fault::Silent) << 0 << 2 << QStringList{ "30002" };
    QTest::newRow("silent at device information") << int(Fault::Silent) << 0 << 3 << QStringList{ "30005" };
    QTest::newRow("silent at status") << int(Fault::Silent) << 0 << 4 << QStringList{ "30006" };
    QTest::newRow("login reply after the time-out")
        << int(Fault::Delay) << ReceiveTimeoutMs + 800 << 1 << QStringList{ "30001" };
    QTest::newRow("status reply after the time-out")
        << int(Fault::Delay) << ReceiveTimeoutMs + 800 << 4 << QStringList{ "30006" };
}

// A peer that takes the request and answers late or never costs one receive
// time-out; the late reply does not leak into the next poll.
void TestFaults::stalledPeer()
{
    QFETCH(int, fault);
    QFETCH(int, value);
    QFETCH(int, connection);
    QFETCH(QStringList, report);
    RawPeer peer(QStringLiteral("127.0.0.142"), ManagementPort, peerPrinter(QStringLiteral("127.0.0.142")));
    startPeer(peer);
    registerPrinter(QStringLiteral("127.0.0.142"), QStringLiteral("stalled"));

    peer.setScript({ Fault(fault), value, connection, 2 });
    qint64 elapsed = 0;
    QCOMPARE(poll(QStringLiteral("stalled"), &elapsed), report);
    QVERIFY2(elapsed >= ReceiveTimeoutMs - 50, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < StalledPollBoundMs, qPrintable(QString::number(elapsed)));

    if (fault == int(Fault::Delay)) {
        QTest::qWait(value - ReceiveTimeoutMs + 200); // the late reply went out meanwhile
    }
    peer.setScript({});
    QCOMPARE(poll(QStringLiteral("stalled"), &elapsed), NormalReport);
    QVERIFY2(elapsed < PollBoundMs, qPrintable(QString::number(elapsed)));
}

// A printer whose connections complete in the kernel's backlog but that never
// accepts them, let alone answers.
void TestFaults::peerNeverAccepts()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(ManagementPort);
    ::inet_pton(AF_INET, "127.0.0.143", &addr.sin_addr);
    QVERIFY(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    QVERIFY(::listen(fd, 8) == 0);
    registerPrinter(QStringLiteral("127.0.0.143"), QStringLiteral("deaf"));

    qint64 elapsed = 0;
    const QStringList report = poll(QStringLiteral("deaf"), &elapsed);
    ::close(fd);
    QCOMPARE(report, QStringList{ "30001" });
    QVERIFY2(elapsed < StalledPollBoundMs, qPrintable(QString::number(elapsed)));
}

void TestFaults::brokenReply_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("bytes"); // of the reply sent first; -1 half of it, -2 all but its last byte
    QTest::addColumn<int>("connection");
    QTest::addColumn<QStringList>("report");
    QTest::newRow("reset before the reply") << int(Fault::Reset) << 0 << 1 << QStringList{ "30001" };
    QTest::newRow("reset inside the length") << int(Fault::Reset) << 2 << 1 << QStringList{ "30001" };
    QTest::newRow("reset inside the IV") << int(Fault::Reset) << 10 << 2 << QStringList{ "30002" };
    QTest::newRow("reset mid-frame") << int(Fault::Reset) << -1 << 3 << QStringList{ "30005" };
    QTest::newRow("reset one byte short") << int(Fault::Reset) << -2 << 4 << QStringList{ "30006" };
    QTest::newRow("closed after the length") << int(Fault::Close) << 4 << 1 << QStringList{ "30001" };
    QTest::newRow("closed mid-frame") << int(Fault::Close) << -1 << 4 << QStringList{ "30006" };
}

// A peer that resets (RST) or closes the connection in the middle of a reply
// frame: the call fails at once, and the next poll builds a fresh connection.
void TestFaults::brokenReply()
{
    QFETCH(int, fault);
    QFETCH(int, bytes);
    QFETCH(int, connection);
    QFETCH(QStringList, report);
    RawPeer peer(QStringLiteral("127.0.0.144"), ManagementPort, peerPrinter(QStringLiteral("127.0.0.144")));
    startPeer(peer);
    PrinterContextPtr printer = registerPrinter(QStringLiteral("127.0.0.144"), QStringLiteral("broken"));

    peer.setScript({ Fault(fault), bytes, connection, 20 });
    qint64 elapsed = 0;
    QCOMPARE(poll(QStringLiteral("broken"), &elapsed), report);
    QVERIFY2(elapsed < PollBoundMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(printer->tonerText(), QStringLiteral("无法连接打印机，获取墨粉余量失败"));
    // The failed call dropped the printer's connectors.
    QVERIFY(printer->connectorIds().isEmpty());

    peer.setScript({});
    QCOMPARE(poll(QStringLiteral("broken"), &elapsed), NormalReport);
    QVERIFY2(elapsed < PollBoundMs, qPrintable(QString::number(elapsed)));
}

void TestFaults::printerVanishesWithinAPoll_data()
{
    QTest::addColumn<int>("connection");
    QTest::addColumn<QStringList>("report");
    QTest::newRow("after login") << 1 << QStringList{ "30002" };
    QTest::newRow("after device information") << 3 << QStringList{ "30006" };
}

// The printer answers one call and is gone from the network for the next:
// connections are refused.
void TestFaults::printerVanishesWithinAPoll()
{
    QFETCH(int, connection);
    QFETCH(QStringList, report);
    RawPeer peer(QStringLiteral("127.0.0.145"), ManagementPort, peerPrinter(QStringLiteral("127.0.0.145")));
    startPeer(peer);
    registerPrinter(QStringLiteral("127.0.0.145"), QStringLiteral("vanishing"));

    peer.setScript({ Fault::Vanish, 0, connection, 0 });
    qint64 elapsed = 0;
    QCOMPARE(poll(QStringLiteral("vanishing"), &elapsed), report);
    QVERIFY2(elapsed < PollBoundMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(peer.connections(), connection);

    // Back on the network.
    peer.setScript({});
    QTRY_COMPARE_WITH_TIMEOUT(poll(QStringLiteral("vanishing"), &elapsed), NormalReport, 5000);
    QVERIFY2(elapsed < PollBoundMs, qPrintable(QString::number(elapsed)));
}

// The simulated printer leaves the scenario between the login and the status
// call, and comes back as a new device that does not know the old token.
void TestFaults::printerLeavesTheScenarioBetweenLoginAndStatus()
{
    const QString address = QStringLiteral("127.0.0.150");
    QVERIFY(m_sim->load({ simPrinter(address) }));
    PrinterContextPtr printer = registerPrinter(address, QStringLiteral("leaving"));
    QElapsedTimer timer;
    timer.start();

    std::string token;
    QCOMPARE(loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1), 0);
    QVERIFY(!token.empty());

    QVERIFY(m_sim->load({}));
    PrinterStatusReply status;
    QElapsedTimer call;
    call.start();
    QCOMPARE(getPrinterStatus(printer, token, status, 2), -1);
    QVERIFY2(call.elapsed() < 2000, qPrintable(QString::number(call.elapsed())));
    QVERIFY(printer->connectorIds().isEmpty());

    QVERIFY(m_sim->load({ simPrinter(address) }));
    QCOMPARE(getPrinterStatus(printer, token, status, 1), SimPrinter::BadToken);
    QCOMPARE(loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1), 0);
    QCOMPARE(getPrinterStatus(printer, token, status, 1), 0);
    QCOMPARE(status.state, 3);
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

// cupsd stops and starts again while the watcher passes run every 50 ms and
// the poller polls the printer the watcher found, one poll after the other.
// No pass and no poll may hang; the printer stays registered and polled.
void TestFaults::printServerRestartsDuringPolling()
{
    QElapsedTimer whole;
    whole.start();
    const QString address = QStringLiteral("127.0.0.160");
    const QString name = QStringLiteral("faults-office");
    QVERIFY(m_sim->load({ simPrinter(address) }));
    CupsSandbox cups;
    QVERIFY2(cups.start(), qPrintable(cups.lastError()));
    QVERIFY2(cups.addQueue(name, QStringLiteral("socket://%1:9100").arg(address), QStringLiteral("TR-M400")),
             qPrintable(cups.lastError()));

    ListenPrinterInfo::Options options;
    options.interval = std::chrono::milliseconds(50);
    auto watcher = std::make_unique<ListenPrinterInfo>(options);
    std::atomic<int> added{ 0 };
    std::atomic<int> removed{ 0 };
    connect(
        watcher.get(), &ListenPrinterInfo::sigAddPrinter, watcher.get(), [&](const QString&) { ++added; },
        Qt::DirectConnection);
    connect(
        watcher.get(), &ListenPrinterInfo::sigRemovePrinter, watcher.get(), [&](const QString&) { ++removed; },
        Qt::DirectConnection);
    QTRY_COMPARE_WITH_TIMEOUT(added.load(), 1, 10000);

    // Polls back to back from a thread of their own, each timed.
    std::mutex lock;
    QList<QStringList> reports;
    qint64 slowestPollMs = 0;
    std::atomic<bool> stopPolling{ false };
    const QMetaObject::Connection keep = connect(
        m_poller, &ListenPrinterStatus::printerStatusChanged, m_poller,
        [&](const QString&, const QStringList& list) {
            std::lock_guard<std::mutex> locker(lock);
            reports << list;
        },
        Qt::DirectConnection);
    std::thread pump([&] {
        while (!stopPolling) {
            QElapsedTimer timer;
            timer.start();
            QMetaObject::invokeMethod(
                m_poller, [&] { m_poller->updatePrinterStatus(name); }, Qt::BlockingQueuedConnection);
            std::lock_guard<std::mutex> locker(lock);
            slowestPollMs = std::max(slowestPollMs, timer.elapsed());
        }
    });
    const auto lastReport = [&] {
        std::lock_guard<std::mutex> locker(lock);
        return reports.isEmpty() ? QStringList() : reports.last();
    };

    QTRY_COMPARE_WITH_TIMEOUT(lastReport(), NormalReport, 10000);
    cups.stop(true);
    QTest::qWait(1000); // some twenty passes without a server
    QVERIFY2(cups.start(), qPrintable(cups.lastError()));
    QTest::qWait(500);
    QCOMPARE(removed.load(), 0);
    QCOMPARE(added.load(), 1);
    {
        std::lock_guard<std::mutex> locker(lock);
        QVERIFY(!reports.contains(QStringList{ "30001" }));
    }
    QCOMPARE(lastReport(), NormalReport);

    stopPolling = true;
    pump.join();
    disconnect(keep);
    QVERIFY2(slowestPollMs < PollBoundMs, qPrintable(QString::number(slowestPollMs)));
    QElapsedTimer shutdown;
    shutdown.start();
    watcher.reset();
    QVERIFY2(shutdown.elapsed() < 5000, qPrintable(QString::number(shutdown.elapsed())));
    QVERIFY2(whole.elapsed() < 60000, qPrintable(QString::number(whole.elapsed())));
}

QString TestFaults::freshDatabase()
{
    const QString path = m_root.filePath(QStringLiteral("settings-%1.db").arg(++m_files));
    return QFile::copy(m_template, path) ? path : QString();
}

// Starts faults-helper and waits until it says it holds what it was asked to.
bool TestFaults::startHelper(QProcess& helper, const QStringList& args)
{
    helper.start(QStringLiteral(FAULTS_HELPER), args);
    return helper.waitForStarted(10000) && helper.waitForReadyRead(10000)
        && helper.readAllStandardOutput().startsWith("locked");
}

// "key=value" of every stored row; resultCode receives the query's.
static QStringList settingKeys(const QString& db, int* resultCode = nullptr)
{
    QString document;
    queryLocalsettings(db, document);
    const QJsonObject object = QJsonDocument::fromJson(document.toUtf8()).object();
    if (resultCode) {
        *resultCode = object.value(QStringLiteral("resultCode")).toInt(-1);
    }
    QStringList keys;
    for (const QJsonValue& row : object.value(QStringLiteral("result")).toArray()) {
        keys << row.toObject().value(QStringLiteral("key")).toString() + QLatin1Char('=')
                + row.toObject().value(QStringLiteral("value")).toString();
    }
    return keys;
}

// Another program of the product holds the store's lock file for a while: the
// write waits for it and then goes through.
void TestFaults::databaseLockFileHeldByLiveProcess()
{
    const QString db = freshDatabase();
    QProcess holder;
    QVERIFY(startHelper(holder, { QStringLiteral("hold-lock"), QStringLiteral("1500") }));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(addSetting(db, SettingsItem{ "barSize", "1.6", "barcode" }), 0);
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 1000, "the write did not wait for the lock holder");
    // Qt's lock file looks again after 100, 200, ... 1600 ms.
    QVERIFY2(elapsed < 6000, qPrintable(QString::number(elapsed)));
    QVERIFY(holder.waitForFinished(5000));
    QCOMPARE(settingKeys(db), QStringList{ "barSize=1.6" });
}

void TestFaults::databaseLockFileOfKilledProcess_data()
{
    QTest::addColumn<int>("killAfterMs"); // -1: killed before the store looks
    QTest::newRow("killed before") << -1;
    QTest::newRow("killed while the store waits") << 800;
}

// The holder of the lock file dies without releasing it: its lock is taken
// over as soon as the store sees that its owner is gone.
void TestFaults::databaseLockFileOfKilledProcess()
{
    QFETCH(int, killAfterMs);
    const QString db = freshDatabase();
    QProcess holder;
    QVERIFY(startHelper(holder, { QStringLiteral("hold-lock"), QStringLiteral("0") }));
    const pid_t pid = pid_t(holder.processId());
    std::thread killer;
    if (killAfterMs < 0) {
        ::kill(pid, SIGKILL);
        QVERIFY(holder.waitForFinished(5000));
    } else {
        killer = std::thread([pid, killAfterMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
            ::kill(pid, SIGKILL);
        });
    }
    QVERIFY(QFileInfo::exists(QDir::tempPath() + QStringLiteral("/dblockfile")));

    QElapsedTimer timer;
    timer.start();
    const int stored = addSetting(db, SettingsItem{ "illegaLcon", "true", "feature" });
    const qint64 elapsed = timer.elapsed();
    if (killer.joinable()) {
        killer.join();
        holder.waitForFinished(5000);
    }
    QCOMPARE(stored, 0);
    QVERIFY2(elapsed < (killAfterMs < 0 ? 2000 : killAfterMs + 6000), qPrintable(QString::number(elapsed)));
    QCOMPARE(settingKeys(db), QStringList{ "illegaLcon=true" });
    QVERIFY(!QFileInfo::exists(QDir::tempPath() + QStringLiteral("/dblockfile")));
}

void TestFaults::databaseLockedByLiveWriter_data()
{
    QTest::addColumn<int>("holdMs"); // 0: until killed
    QTest::newRow("short transaction") << 1500;
    QTest::newRow("transaction that never ends") << 0;
}

// A process that bypasses the lock file and holds an exclusive transaction on
// the database. The store waits for it up to SQLite's busy time-out (5 s),
// from the moment it opens the file: a short transaction only delays the
// write, a transaction that never ends fails it after the time-out instead of
// hanging. A holder that is killed leaves its half-done transaction behind,
// which is rolled back: the store works again and never sees it.
void TestFaults::databaseLockedByLiveWriter()
{
    QFETCH(int, holdMs);
    const QString db = freshDatabase();
    QCOMPARE(addSetting(db, SettingsItem{ "barPosition", "upperLeft", "barcode" }), 0);
    QProcess writer;
    QVERIFY(startHelper(writer, { QStringLiteral("hold-db"), db, QString::number(holdMs) }));

    QElapsedTimer timer;
    timer.start();
    const int stored = addSetting(db, SettingsItem{ "barSize", "2.0", "barcode" });
    const qint64 elapsed = timer.elapsed();
    if (holdMs > 0) {
        QCOMPARE(stored, 0);
        QVERIFY2(elapsed >= holdMs - 500 && elapsed < holdMs + 3000, qPrintable(QString::number(elapsed)));
        QVERIFY(writer.waitForFinished(5000));
    } else {
        QCOMPARE(stored, -1);
        QVERIFY2(elapsed >= 4500 && elapsed < 9000, qPrintable(QString::number(elapsed)));
        {
            std::lock_guard<std::mutex> locker(g_logLock);
            QVERIFY2(g_logLines.filter(QStringLiteral("database is locked")).size() == 1,
                     qPrintable(g_logLines.join(QLatin1Char('\n'))));
        }
        writer.kill();
        QVERIFY(writer.waitForFinished(5000));
        timer.restart();
        QCOMPARE(addSetting(db, SettingsItem{ "barSize", "2.0", "barcode" }), 0);
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    }
    int resultCode = -1;
    QCOMPARE(settingKeys(db, &resultCode), (QStringList{ "barPosition=upperLeft", "barSize=2.0" }));
    QCOMPARE(resultCode, 0);
}

void TestFaults::damagedDatabase_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("damaged page") << "damaged page";
    QTest::newRow("truncated") << "truncated";
    QTest::newRow("random bytes") << "random bytes";
    QTest::newRow("empty file") << "empty file";
    QTest::newRow("wrong key") << "wrong key";
}

// A settings file that is damaged, cut short, not a database at all, or
// enciphered under another key: both operations report the failure at once
// and leave the file as it was.
void TestFaults::damagedDatabase()
{
    QFETCH(QString, kind);
    QString db = freshDatabase();
    QCOMPARE(addSetting(db, SettingsItem{ "barSize", "1.4", "barcode" }), 0);
    QByteArray bytes = fileBytes(db);
    QVERIFY(bytes.size() >= 3072); // a schema page and the table's pages
    if (kind == QLatin1String("damaged page")) {
        // Inside every page after the schema page, whatever the page size.
        for (int i = 1100; i < bytes.size(); i += 1024) {
            for (int j = i; j < i + 100; ++j) {
                bytes[j] = char(bytes[j] ^ 0x5a);
            }
        }
    } else if (kind == QLatin1String("truncated")) {
        bytes.truncate(bytes.size() / 2 + 7);
    } else if (kind == QLatin1String("random bytes")) {
        for (int i = 0; i < bytes.size(); ++i) {
            bytes[i] = char((i * 2654435761u) >> 13);
        }
    } else if (kind == QLatin1String("empty file")) {
        bytes.clear();
    }
    if (kind == QLatin1String("wrong key")) {
        db = m_root.filePath(QStringLiteral("wrong-key-%1.db").arg(++m_files));
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QLatin1String(kSqlCipherDriverName), "wrong-key");
            other.setDatabaseName(db);
            other.setPassword(QStringLiteral("not-the-key"));
            other.setConnectOptions(QStringLiteral("QSQLITE_OPEN_CREATE"));
            QVERIFY(other.open());
            QSqlQuery q(other);
            QVERIFY(q.exec(QStringLiteral(
                "CREATE TABLE tbl_settings (id INTEGER PRIMARY KEY, key TEXT, value TEXT, \"group\" TEXT)")));
            QVERIFY(q.exec(QStringLiteral("INSERT INTO tbl_settings (key, value, \"group\") VALUES ('a', 'b', 'c')")));
        }
        QSqlDatabase::removeDatabase("wrong-key");
        bytes = fileBytes(db);
    } else {
        QVERIFY(writeFile(db, bytes));
    }

    QElapsedTimer timer;
    timer.start();
    int resultCode = 0;
    QCOMPARE(settingKeys(db, &resultCode), QStringList());
    QCOMPARE(resultCode, 1);
    QCOMPARE(addSetting(db, SettingsItem{ "barSize", "2.0", "barcode" }), -1);
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(fileBytes(db), bytes);
}

QTEST_GUILESS_MAIN(TestFaults)
#include "TestFaults.moc"
