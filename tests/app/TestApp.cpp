#include "TestPorts.h"
#include "app/LockPort.h"
#include "app/SocketServerLock.h"
#include "app/Startup.h"
#include "core/HostUtils.h"
#include "core/Log.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "core/UsbIdentity.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{
QStringList capturedLines;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    capturedLines << message;
    previousHandler(type, context, message);
}

// Collects the diagnostic lines written while it is alive.
struct LogCapture {
    LogCapture()
    {
        capturedLines.clear();
        previousHandler = qInstallMessageHandler(captureHandler);
    }
    ~LogCapture() { qInstallMessageHandler(previousHandler); }
    QStringList lines() const { return capturedLines; }
};

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// A login name of this machine other than the one running the tests.
QString otherLocalUser()
{
    const QByteArray me = getpwuid(getuid())->pw_name;
    return QString::fromLocal8Bit(me == "daemon" ? "root" : "daemon");
}

// The agent's command line: its name and the optional argument.
bool parse(QByteArray arg)
{
    QByteArray name("agent");
    std::vector<char*> argv{ name.data(), arg.data() };
    return parseNeedMemory(arg.isNull() ? 1 : 2, argv.data());
}
} // namespace

class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void logLine_data();
    void logLine();

    void registryRecords();
    void registryConcurrentAdds();

    void readPort_data();
    void readPort();
    void readModels_data();
    void readModels();
    void needMemory();
    void closedWindowKeepsAgentRunning();

    void ipv4_data();
    void ipv4();
    void usbIdentity_data();
    void usbIdentity();

    void agentHandshake();
    void handshakeSibling_data();
    void handshakeSibling();
    void classifyRequest_data();
    void classifyRequest();
    void holderSurvivesBadPeers();

private:
    // A copy of the agent in a tree of its own, whose config.json names a
    // lock port that no real agent uses and a probe host on loopback.
    QString agentTree(QTemporaryDir& dir, int port);
    // The environment of an agent whose whoami answers `user`.
    static QProcessEnvironment loginAs(QTemporaryDir& dir, const QString& user);
    void startAgent(QProcess& process, const QString& binary, const QProcessEnvironment& env = {});
    static bool waitForOutput(QProcess& process, const QString& text, int timeoutMs);
};

void TestApp::init()
{
    PrinterRegistry::instance().clear();
    ModelTable::clear();
    SocketServerLock::setQuestionHandler(nullptr);
    SocketServerLock::setErrorHandler(nullptr);
}

void TestApp::logLine_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("text item quoted") << "192.168.1.20"
                                      << R"(IP: "192.168.1.20")";
    QTest::newRow("chinese kept") << "打印机状态正常"
                                  << R"(IP: "打印机状态正常")";
}

void TestApp::logLine()
{
    QFETCH(QString, value);
    QFETCH(QString, expected);
    LogCapture capture;
    PSM_LOG << "IP:" << value;
    QCOMPARE(capture.lines().size(), 1);
    // Time stamp, then the operation's name, then the items.
    const QRegularExpressionMatch match
        = QRegularExpression(R"re(^\[ "([^"]*)" ,  logLine \] (.*)$)re").match(capture.lines().first());
    QVERIFY2(match.hasMatch(), qPrintable(capture.lines().first()));
    QCOMPARE(match.captured(2), expected);
    const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyy-MM-dd hh:mm:ss.zzz");
    QVERIFY2(stamp.isValid(), qPrintable(match.captured(1)));
    QVERIFY2(qAbs(stamp.msecsTo(QDateTime::currentDateTime())) < 60000, qPrintable(match.captured(1)));

    // A literal ending in a blank keeps it: two blanks before the next item.
    PSM_LOG << "start listen failed 1, " << value << true << 42;
    QVERIFY(capture.lines().last().endsWith("start listen failed 1,  \"" + value + "\" true 42"));
}

void TestApp::registryRecords()
{
    auto& registry = PrinterRegistry::instance();
    LogCapture capture;
    auto first = registry.addPrinterContext("10.0.0.5", "queue", false, 0, 0);
    const QString added = R"(addPrinterContext ] IP: "10.0.0.5" Name: "queue" isUSB: false)";
    QVERIFY(capture.lines().first().endsWith(added));
    // Adding a known name hands back the record as it was.
    auto second = registry.addPrinterContext("10.0.0.6", "queue", true, 7, 1);
    QCOMPARE(second.get(), first.get());
    QCOMPARE(second->ip(), QString("10.0.0.5"));
    QVERIFY(!second->isUSB());
    // Names are case-sensitive keys.
    QVERIFY(registry.addPrinterContext("10.0.0.5", "Queue", false, 0, 0).get() != first.get());
    QCOMPARE(registry.getPrinterContexts().size(), 2);

    QVERIFY(registry.getPrinterContext("nobody")->printerNameIsEmpty());
    QCOMPARE(registry.removePrinterContext("nobody"), 0);
    QCOMPARE(registry.removePrinterContext("queue"), 1);
    first->setTonerText("still usable"); // a holder keeps its record
    QCOMPARE(first->tonerText(), QString("still usable"));
    QVERIFY(registry.getPrinterContext("queue")->printerNameIsEmpty());
}

void TestApp::registryConcurrentAdds()
{
    // Watcher, poller and GUI threads add and read at once: each name gets
    // one record, whichever thread comes first.
    auto& registry = PrinterRegistry::instance();
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const int names = 4000;
    const int threadCount = 4;
    std::vector<std::vector<PrinterContextPtr>> seen(threadCount, std::vector<PrinterContextPtr>(names));
    std::atomic<int> ready{ 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready < threadCount) {
                std::this_thread::yield();
            }
            for (int i = 0; i < names; ++i) {
                seen[t][i] = registry.addPrinterContext("10.0.0.1", QString::number(i), false, 0, 0);
                registry.getPrinterContexts();
                registry.getPrinterContext(QString::number(i / 2));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    qInstallMessageHandler(previous);
    QCOMPARE(registry.getPrinterContexts().size(), names);
    for (int i = 0; i < names; ++i) {
        for (int t = 1; t < threadCount; ++t) {
            QVERIFY2(seen[t][i] == seen[0][i], qPrintable(QString::number(i)));
        }
    }
}

void TestApp::readPort_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("lockPort");
    QTest::newRow("number") << QByteArray(R"({"excludePort": 50123})") << 50123 << 50123;
    QTest::newRow("absent") << QByteArray(R"({"models": []})") << 0 << 57142;
    QTest::newRow("string") << QByteArray(R"({"excludePort": "50123"})") << 0 << 57142;
    QTest::newRow("negative") << QByteArray(R"({"excludePort": -5})") << -5 << 57142;
    QTest::newRow("above 16 bits") << QByteArray(R"({"excludePort": 70000})") << 70000 << 4464;
    QTest::newRow("low 16 bits zero") << QByteArray(R"({"excludePort": 131072})") << 131072 << 57142;
    QTest::newRow("not json") << QByteArray("excludePort=1") << 0 << 57142;
}

void TestApp::readPort()
{
    QFETCH(QByteArray, content);
    QFETCH(int, port);
    QFETCH(int, lockPort);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.json");
    writeFile(path, content);
    QCOMPARE(readPortFrom(path), port);
    QCOMPARE(int(::lockPort(port)), lockPort);
}

void TestApp::readModels_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("firstModel");
    QTest::addColumn<bool>("firstToner");
    QTest::addColumn<QString>("message");
    QTest::newRow("two models") << QByteArray(R"({"models":[{"vid":"2d8f","pid":"a61c","model":"TR-M400",)"
                                              R"("supportToner":true},{"model":"TR-C3000"}]})")
                                << 2 << "TR-M400" << true << "";
    QTest::newRow("wrong types") << QByteArray(R"({"models":[{"model":"TR-M400","vid":1,"supportToner":"true"}]})") << 1
                                 << "TR-M400" << false << "";
    // An empty model text would match every queue: such entries are skipped.
    QTest::newRow("model empty") << QByteArray(R"({"models":[{"model":"TR-M400"},{"model":"","vid":"2d8f"}]})") << 1
                                 << "TR-M400" << false << "skipped: 1";
    QTest::newRow("not json") << QByteArray("{models:") << 0 << "" << false << "The config file error!";
    QTest::newRow("missing file") << QByteArray() << 0 << "" << false << "The config file config file not found!";
}

void TestApp::readModels()
{
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    QFETCH(QString, firstModel);
    QFETCH(bool, firstToner);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QString path = dir.filePath("config.json");
    if (QByteArray(QTest::currentDataTag()) == "missing file") {
        path = dir.filePath("absent.json");
    } else {
        writeFile(path, content);
    }
    LogCapture capture;
    ModelTable::readModels(path);
    const auto models = ModelTable::getModels();
    QCOMPARE(models.size(), count);
    if (count > 0) {
        QCOMPARE(models.first().model, firstModel);
        QCOMPARE(models.first().supportToner, firstToner);
    }
    if (message.isEmpty()) {
        QVERIFY(capture.lines().isEmpty());
    } else {
        QCOMPARE(capture.lines().size(), 1);
        const QString line = capture.lines().first();
        QVERIFY2(line.contains("readModels ] readConfig: ") && line.endsWith(message), qPrintable(line));
    }
}

void TestApp::needMemory()
{
    QVERIFY(!parse(QByteArray()));
    QVERIFY(parse("1"));
    QVERIFY(parse("01"));
    QVERIFY(!parse("2"));
    QVERIFY(!parse("yes"));
    QCOMPARE(toJsonArrayText({}), QByteArray("[]"));
    const QByteArray escaped = QString(R"(["墨粉","a\"b"])").toUtf8();
    QCOMPARE(toJsonArrayText({ "墨粉", "a\"b" }), escaped);
}

void TestApp::closedWindowKeepsAgentRunning()
{
    keepRunningWithoutWindows();
    QWidget window;
    window.show();
    QTimer::singleShot(0, &window, &QWidget::close);
    QTimer::singleShot(300, [] { QCoreApplication::exit(7); });
    // 0 would mean closing the only window ended the event loop.
    QCOMPARE(QApplication::exec(), 7);
}

void TestApp::ipv4_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("last .254") << "192.168.1.254" << true;
    QTest::newRow("last .255") << "192.168.1.255" << false;
    QTest::newRow("255 in front") << "255.255.255.0" << true;
    // The print server reads 010 as octal 8: the address shown would not
    // be the one polled.
    QTest::newRow("leading zeros") << "010.001.002.003" << false;
    QTest::newRow("unspecified") << "0.0.0.0" << false;
    QTest::newRow("trailing blank") << "10.1.2.3 " << false;
    QTest::newRow("three parts") << "10.1.2" << false;
    QTest::newRow("256") << "10.1.256.3" << false;
    QTest::newRow("non-ascii digits") << "١٠.1.2.3" << false;
}

void TestApp::ipv4()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(isValidIPv4(text), valid);
}

void TestApp::usbIdentity_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("serial"); // null: not a USB identity
    QTest::newRow("identity") << "2d8f:a61c:SN0042"
                              << "SN0042";
    QTest::newRow("serial holding ':'") << "2d8f:a61c:SN:42:x"
                                        << "SN:42:x";
    QTest::newRow("empty serial") << "2d8f:a61c:"
                                  << "";
    QTest::newRow("queue name") << "office" << QString();
    QTest::newRow("two parts") << "2d8f:a61c" << QString();
    QTest::newRow("short product id") << "2d8f:a61:SN" << QString();
    QTest::newRow("not hexadecimal") << "2d8g:a61c:SN" << QString();
}

void TestApp::usbIdentity()
{
    QFETCH(QString, text);
    QFETCH(QString, serial);
    UsbIdentity identity;
    QCOMPARE(UsbIdentity::parse(text, identity), !serial.isNull());
    QCOMPARE(identity.serial, serial.isNull() ? QString() : serial);
    if (!serial.isNull()) {
        QCOMPARE(identity.toString(), text);
    }
}

QString TestApp::agentTree(QTemporaryDir& dir, int port)
{
    QDir root(dir.path());
    root.mkpath("bin");
    root.mkpath("data");
    const QString binary = root.filePath("bin/printer-status-monitor");
    QFile::copy(PSM_BUILD_DIR "/bin/printer-status-monitor", binary);
    QFile::copy(PSM_BUILD_DIR "/data/config.json", root.filePath("data/config.json.orig"));
    writeFile(root.filePath("data/config.json"),
              QStringLiteral(R"({"excludePort": %1, "models": [],)"
                             R"( "networkProbe": {"host": "127.0.0.1", "port": %2}})")
                  .arg(port)
                  .arg(freeLoopbackPort())
                  .toUtf8());
    return binary;
}

QProcessEnvironment TestApp::loginAs(QTemporaryDir& dir, const QString& user)
{
    QDir(dir.path()).mkpath("login");
    const QString fakeWhoami = dir.filePath("login/whoami");
    writeFile(fakeWhoami, QStringLiteral("#!/bin/sh\necho %1\n").arg(user).toUtf8());
    QFile::setPermissions(fakeWhoami, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", dir.filePath("login") + ':' + env.value("PATH"));
    return env;
}

void TestApp::startAgent(QProcess& process, const QString& binary, const QProcessEnvironment& env)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setProcessEnvironment(env.isEmpty() ? QProcessEnvironment::systemEnvironment() : env);
    process.start(binary, QStringList());
    QVERIFY(process.waitForStarted());
}

bool TestApp::waitForOutput(QProcess& process, const QString& text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray seen;
    while (timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(100);
        seen += process.readAll();
        if (QString::fromUtf8(seen).contains(text)) {
            process.setProperty("seen", process.property("seen").toByteArray() + seen);
            return true;
        }
        if (process.state() == QProcess::NotRunning) {
            break;
        }
    }
    process.setProperty("seen", process.property("seen").toByteArray() + seen);
    return false;
}

void TestApp::agentHandshake()
{
    QTemporaryDir dir;
    const QString binary = agentTree(dir, freeLoopbackPort());
    QProcess first;
    startAgent(first, binary);
    QVERIFY(waitForOutput(first, "start listen success", 15000));

    // The same user again: the newcomer quits, the holder stays.
    QProcess second;
    startAgent(second, binary);
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.readAll().contains("already running,program will quit"));
    QVERIFY(waitForOutput(first, "this user login again : ", 5000));
    QCOMPARE(first.state(), QProcess::Running);

    // Another user (whoami answers for the newcomer): the holder quits.
    QProcess third;
    startAgent(third, binary, loginAs(dir, otherLocalUser()));
    QVERIFY(first.waitForFinished(20000));
    QCOMPARE(first.exitCode(), 0);
    const QByteArray holderLine
        = QStringLiteral(R"(get socket data:  "%1"  login, this program will exit)").arg(otherLocalUser()).toUtf8();
    QVERIFY(first.readAll().contains(holderLine));
    QVERIFY(waitForOutput(third, "start listen success", 15000));
    QVERIFY(third.property("seen").toByteArray().contains("continue to connect server"));
    third.kill();
    third.waitForFinished();
}

void TestApp::handshakeSibling_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QString>("question");
    QTest::newRow("tool, yes") << "tool" << true << "启动打印机状态监视器将自动退出配置管理工具，请确定是否继续？";
    QTest::newRow("install, no") << "install" << false << "启动打印机状态监视器将自动退出安装向导，请确定是否继续？";
}

void TestApp::handshakeSibling()
{
    QFETCH(QString, role);
    QFETCH(bool, yes);
    QFETCH(QString, question);
    const quint16 port = freeLoopbackPort();
    QProcess holder;
    holder.start(PSM_BUILD_DIR "/tests/lockholder", { "alice", role, QString::number(port) });
    QVERIFY(holder.waitForReadyRead(10000));

    QStringList asked;
    SocketServerLock::setQuestionHandler([&](const QString& title, const QString& text) {
        asked << title << text;
        return yes;
    });
    SocketServerLock lock("alice", "agent");
    lock.setPort(port);
    QCOMPARE(lock.start(), yes ? 0 : -1);
    QCOMPARE(asked, QStringList({ "提示", question }));
    if (yes) {
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(holder.exitCode(), 0);
    } else {
        QCOMPARE(holder.state(), QProcess::Running);
        holder.kill();
        holder.waitForFinished();
    }
}

void TestApp::classifyRequest_data()
{
    using Request = SocketServerLock::Request;
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("kind");
    const QByteArray other = otherLocalUser().toLocal8Bit();
    QTest::newRow("same user") << QByteArray("alice") << "alice" << int(Request::SameUser);
    QTest::newRow("same user, CR LF") << QByteArray("alice\r\n") << "alice" << int(Request::SameUser);
    QTest::newRow("nothing sent") << QByteArray() << "alice" << int(Request::SameUser);
    QTest::newRow("other local user, newline") << other + '\n' << "alice" << int(Request::OtherLogin);
    QTest::newRow("exit") << QByteArray("exit") << "alice" << int(Request::OtherLogin);
    QTest::newRow("exit, newline") << QByteArray("exit\n") << "alice" << int(Request::Invalid);
    QTest::newRow("own name holding exit") << QByteArray("lexitia") << "lexitia" << int(Request::SameUser);
    QTest::newRow("unknown name") << QByteArray("lexitia") << "alice" << int(Request::Invalid);
    QTest::newRow("piece of a name") << other.left(2) << "alice" << int(Request::Invalid);
    QTest::newRow("local user, then NUL") << other + QByteArray("\0x", 2) << "alice" << int(Request::Invalid);
    QTest::newRow("too long") << QByteArray(257, 'a') << "alice" << int(Request::Invalid);
}

void TestApp::classifyRequest()
{
    QFETCH(QByteArray, received);
    QFETCH(QString, user);
    QFETCH(int, kind);
    QCOMPARE(int(SocketServerLock::classifyRequest(received, user)), kind);
}

void TestApp::holderSurvivesBadPeers()
{
    // The holder's name begins with another local user's name, so a greeting
    // judged before it has fully arrived would look like that user's login.
    const QString user = otherLocalUser() + "2";
    const quint16 port = freeLoopbackPort();
    QProcess holder;
    holder.start(PSM_BUILD_DIR "/tests/lockholder", { user, "agent", QString::number(port) });
    QVERIFY(holder.waitForReadyRead(10000));
    QTcpSocket peers[4]; // silent, flood, garbage, split greeting
    for (QTcpSocket& peer : peers) {
        peer.connectToHost("127.0.0.1", port);
        QVERIFY(peer.waitForConnected(2000));
    }
    peers[1].write(QByteArray(1 << 20, 'x'));
    peers[2].write(QByteArray("\x00\xff\x13\x37garbage", 11));
    peers[3].write(otherLocalUser().toUtf8());
    QTest::qWait(300);
    peers[3].write("2");

    // A silent peer holds up nobody; the split greeting is answered whole.
    QTcpSocket starter;
    starter.connectToHost("127.0.0.1", port);
    starter.write(user.toUtf8());
    QTRY_VERIFY_WITH_TIMEOUT(starter.bytesAvailable() > 0, 5000);
    QCOMPARE(starter.readAll(), (user + "agent").toUtf8());
    QTRY_VERIFY_WITH_TIMEOUT(peers[3].bytesAvailable() > 0, 5000);
    QCOMPARE(peers[3].readAll(), (user + "agent").toUtf8());
    // The flood and the garbage are dropped unanswered; the holder stays.
    QTRY_COMPARE_WITH_TIMEOUT(peers[1].state(), QAbstractSocket::UnconnectedState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(peers[2].state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(peers[2].bytesAvailable(), 0);
    QVERIFY(!holder.waitForFinished(1000));
    holder.kill();
    holder.waitForFinished();
}

QTEST_MAIN(TestApp)
#include "TestApp.moc"
