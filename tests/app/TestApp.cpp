#include "SettingsDatabase.h"
#include "TestPorts.h"
#include "app/LockPort.h"
#include "app/LockPrompts.h"
#include "app/PrintAgentClient.h"
#include "app/SocketServerLock.h"
#include "app/Startup.h"
#include "core/DataPaths.h"
#include "core/HostUtils.h"
#include "core/Log.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "core/UsbIdentity.h"
#include "ui/Status.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <pwd.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace
{
// The diagnostic lines of the current test, from any thread.
QStringList logged;
QMutex loggedMutex;

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// A login name of this machine other than the one running the tests.
QString otherLocalUser()
{
    return QString::fromLocal8Bit(QByteArray(getpwuid(getuid())->pw_name) == "daemon" ? "root" : "daemon");
}

// The environment of an agent whose whoami answers `user`.
QProcessEnvironment loginAs(QTemporaryDir& dir, const QString& user)
{
    const QString bin = dir.filePath("login-" + user);
    QDir().mkpath(bin);
    writeFile(bin + "/whoami", QStringLiteral("#!/bin/sh\necho %1\n").arg(user).toUtf8());
    QFile::setPermissions(bin + "/whoami", QFile::ReadOwner | QFile::ExeOwner);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", bin + ':' + env.value("PATH"));
    return env;
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void logLine_data();
    void logLine();
    void registry();
    void config_data();
    void config();
    void hostTexts_data();
    void hostTexts();
    void closedWindowKeepsAgentRunning();
    void trayController();
    void agentHandshake();
    void classifyRequest_data();
    void classifyRequest();
    void siblingProgram_data();
    void siblingProgram();
};

void TestApp::init()
{
    PrinterRegistry::instance().clear();
    ModelTable::clear();
    logged.clear();
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
        QMutexLocker locker(&loggedMutex);
        logged << message;
    });
}

void TestApp::logLine_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::newRow("stamp") << R"(^\[ "\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}" , )";
    QTest::newRow("operation name") << R"( ,  logLine \] IP:)";
    // Text items quoted; a literal ending in a blank keeps it.
    QTest::newRow("quoting") << R"(\] IP: "打印机 1" failed 1,  true 42$)";
}

void TestApp::logLine()
{
    QFETCH(QString, pattern);
    PSM_LOG << "IP:" << QString("打印机 1") << "failed 1, " << true << 42;
    QCOMPARE(logged.size(), 1);
    QVERIFY2(logged.first().contains(QRegularExpression(pattern)), qPrintable(logged.first()));
}

void TestApp::registry()
{
    // Watcher, poller and GUI threads add, look up and list at once: each
    // name gets one record, whichever thread comes first.
    auto& registry = PrinterRegistry::instance();
    const int names = 4000;
    std::vector<std::vector<PrinterContextPtr>> seen(4, std::vector<PrinterContextPtr>(names));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < names; ++i) {
                seen[t][i] = registry.addPrinterContext("10.0.0.1", QString::number(i), false, 0, 0);
                registry.getPrinterContext(QString::number(i / 2));
                if (i % 64 == 0) {
                    registry.getPrinterContexts(); // the window's and the poller's snapshot
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    QCOMPARE(registry.getPrinterContexts().size(), names);
    for (int i = 0; i < names; ++i) {
        for (int t = 1; t < 4; ++t) {
            QVERIFY2(seen[t][i] == seen[0][i], qPrintable(QString::number(i)));
        }
    }
    // Unknown and removed names give the default record.
    QCOMPARE(registry.removePrinterContext("7"), 1);
    QVERIFY(registry.getPrinterContext("7")->printerNameIsEmpty());
}

void TestApp::config_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QStringList>("models"); // model, then 1 when it reports toner
    QTest::addColumn<int>("port");
    QTest::newRow("two models") << QByteArray(R"({"excludePort": 50123, "models":[{"vid":"2d8f","pid":"a61c",)"
                                              R"("model":"TR-M400","supportToner":true},{"model":"TR-C3000"}]})")
                                << QStringList{ "TR-M400 1", "TR-C3000 0" } << 50123;
    QTest::newRow("wrong types") << QByteArray(R"({"excludePort": "1", "models":[{"model":"TR-M400","vid":1,)"
                                               R"("supportToner":"true"}]})")
                                 << QStringList{ "TR-M400 0" } << 57142;
    // An empty model text would match every queue.
    QTest::newRow("model empty or missing") << QByteArray(
        R"({"excludePort": 70000, "models":[{"model":"","vid":"2d8f"},{"pid":"a61c"},{"model":"TR-M400"}]})")
                                            << QStringList{ "TR-M400 0" } << 4464;
    // Port 0 would listen anywhere, where no later start could find the holder.
    QTest::newRow("low 16 bits zero") << QByteArray(R"({"excludePort": 131072})") << QStringList{} << 57142;
    QTest::newRow("not json") << QByteArray("{models:") << QStringList{} << 57142;
    QTest::newRow("no file") << QByteArray() << QStringList{} << 57142;
}

void TestApp::config()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, models);
    QFETCH(int, port);
    QTemporaryDir dir;
    if (!content.isNull()) {
        writeFile(dir.filePath("config.json"), content);
    }
    ModelTable::readModels(dir.filePath("config.json"));
    QStringList read;
    for (const auto& record : ModelTable::getModels()) {
        read << record.model + (record.supportToner ? " 1" : " 0");
    }
    QCOMPARE(read, models);
    QCOMPARE(int(lockPort(readPortFrom(dir.filePath("config.json")))), port);
}

void TestApp::hostTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ipv4");
    QTest::addColumn<QString>("serial"); // null: not a USB identity
    QTest::newRow("last .254") << "192.168.1.254" << true << QString();
    QTest::newRow("last .255") << "192.168.1.255" << false << QString();
    QTest::newRow("255 in front") << "255.255.255.0" << true << QString();
    // The print server reads 010 as octal 8: the printer polled would not be the
    // one shown.
    QTest::newRow("leading zero") << "010.1.2.3" << false << QString();
    QTest::newRow("unspecified") << "0.0.0.0" << false << QString();
    QTest::newRow("zero part") << "10.0.0.1" << true << QString();
    QTest::newRow("part over 255") << "10.256.0.1" << false << QString();
    QTest::newRow("three parts") << "10.0.1" << false << QString();
    QTest::newRow("five parts") << "10.0.0.1.2" << false << QString();
    QTest::newRow("empty part") << "10..0.1" << false << QString();
    QTest::newRow("non-ascii digits") << "١٠.1.2.3" << false << QString();
    QTest::newRow("USB identity") << "2d8f:a61c:SN0042" << false << "SN0042";
    QTest::newRow("serial holding ':'") << "2d8f:a61c:SN:42:x" << false << "SN:42:x";
    QTest::newRow("not hexadecimal") << "2d8g:a61c:SN" << false << QString();
}

void TestApp::hostTexts()
{
    QFETCH(QString, text);
    QFETCH(bool, ipv4);
    QFETCH(QString, serial);
    QCOMPARE(isValidIPv4(text), ipv4);
    UsbIdentity identity;
    QCOMPARE(UsbIdentity::parse(text, identity), !serial.isNull());
    QCOMPARE(identity.serial, serial.isNull() ? QString() : serial);
    QCOMPARE(identity.toString(), serial.isNull() ? identity.toString() : text);
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

// The tray controller in this process, in an agent tree of the test's own
// next to its binary: each window is built once, on first use, and the
// watcher's questions reach the user as message boxes.
void TestApp::trayController()
{
    QVERIFY(QDir().mkpath(dataDirectory() + "/database"));
    writeFile(configFilePath(),
              QStringLiteral(R"({"models": [], "networkProbe": {"host": "127.0.0.1", "port": %1}})")
                  .arg(freeLoopbackPort())
                  .toUtf8());
    QVERIFY(createSettingsDatabase(settingsDatabasePath()));
    QTemporaryDir dir;
    qputenv("CUPS_SERVER", QFile::encodeName(dir.filePath("no-cupsd.sock")));

    PrintAgentClient controller;
    const auto windows = [](const char* type) {
        QStringList shown;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->inherits(type)) {
                shown << (widget->isVisible() ? widget->windowTitle() : "hidden");
            }
        }
        return shown;
    };
    QVERIFY(windows("FunctionsetWidget").isEmpty() && windows("AboutDialog").isEmpty());
    for (int i = 0; i < 2; ++i) {
        controller.onShowPrinterWidget();
        controller.onShowFunctionSetWidget();
        controller.onAbout();
    }
    QCOMPARE(windows("Status").size(), 1);
    QVERIFY(!windows("Status").contains("hidden"));
    QCOMPARE(windows("FunctionsetWidget").size(), 1);
    QVERIFY(!windows("FunctionsetWidget").contains("hidden"));
    QCOMPARE(windows("AboutDialog"), QStringList{ "关于" });

    // A closed monitor window is let go and built anew when next opened; a
    // message about a printer no longer listed still opens it.
    controller.monitorWindow()->close();
    QTRY_VERIFY(windows("Status").isEmpty());
    QVERIFY(!controller.monitorWindow());
    controller.onShowPrinter("gone");
    QCOMPARE(windows("Status"), QStringList{ "打印机状态监控" });

    QStringList asked;
    QTimer::singleShot(0, [&asked] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        asked << box->windowTitle() << box->text();
        for (QAbstractButton* button : box->buttons()) {
            asked << (box->standardButton(button) == QMessageBox::Yes ? "yes" : "other");
        }
        box->reject();
    });
    controller.onShowMessageBox(MessageIcon::Question, "提示", "继续？", MessageButtons::YesNo);
    QCOMPARE(asked.mid(0, 2), (QStringList{ "提示", "继续？" }));
    QCOMPARE(asked.size(), 4);
    QVERIFY(asked.contains("yes"));
}

void TestApp::agentHandshake()
{
    // A copy of the agent in a tree of its own, its lock port given above
    // 16 bits and its probe host on loopback.
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("bin");
    QDir(dir.path()).mkpath("data");
    const QString binary = dir.filePath("bin/printer-status-monitor");
    QFile::copy(PSM_BUILD_DIR "/bin/printer-status-monitor", binary);
    const quint16 port = freeLoopbackPort();
    writeFile(dir.filePath("data/config.json"),
              QStringLiteral(R"({"excludePort": %1, "models": [], "networkProbe": {"host": "127.0.0.1", "port": %2}})")
                  .arg(port + 65536)
                  .arg(freeLoopbackPort())
                  .toUtf8());
    // The holder's name holds "exit" and begins with another local user's
    // name, so a greeting judged before it has fully arrived would look like
    // that user's login.
    const QString users[3] = { otherLocalUser() + "exit", otherLocalUser() + "exit", otherLocalUser() };
    QProcess agents[3];
    QByteArray seen[3];
    for (int i = 0; i < 3; ++i) {
        agents[i].setProcessChannelMode(QProcess::MergedChannels);
        agents[i].setProcessEnvironment(loginAs(dir, users[i]));
    }
    agents[0].start(binary, QStringList());
    QTRY_VERIFY_WITH_TIMEOUT((seen[0] += agents[0].readAll()).contains("start listen success"), 15000);

    // Bad peers are dropped unanswered and a silent one holds up nobody;
    // a split greeting and one ending in a newline are answered whole.
    QTcpSocket peers[5]; // silent, flood, garbage, split greeting, newline
    for (QTcpSocket& peer : peers) {
        peer.connectToHost("127.0.0.1", port);
        QVERIFY(peer.waitForConnected(2000));
    }
    peers[1].write(QByteArray(1 << 20, 'x'));
    peers[2].write(QByteArray("\x00\xff\x13\x37garbage", 11));
    peers[3].write(otherLocalUser().toUtf8());
    QTest::qWait(300);
    peers[3].write("exit");
    peers[4].write((users[0] + '\n').toUtf8());
    for (QTcpSocket* peer : { &peers[3], &peers[4] }) {
        QTRY_VERIFY_WITH_TIMEOUT(peer->bytesAvailable() > 0, 5000);
        QCOMPARE(peer->readAll(), (users[0] + "agent").toUtf8());
    }
    QTRY_COMPARE_WITH_TIMEOUT(peers[1].state(), QAbstractSocket::UnconnectedState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(peers[2].state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(peers[2].bytesAvailable(), 0);

    // The same user again: the newcomer quits, the holder stays.
    agents[1].start(binary, QStringList());
    QVERIFY(agents[1].waitForFinished(20000));
    QVERIFY(agents[1].readAll().contains("already running,program will quit"));
    QCOMPARE(agents[0].state(), QProcess::Running);

    // Another local user: the holder quits and the newcomer carries on.
    agents[2].start(binary, QStringList());
    QVERIFY(agents[0].waitForFinished(20000));
    QCOMPARE(agents[0].exitCode(), 0);
    QVERIFY((seen[0] + agents[0].readAll())
                .contains(
                    QStringLiteral(R"(get socket data:  "%1"  login, this program will exit)").arg(users[2]).toUtf8()));
    QTRY_VERIFY_WITH_TIMEOUT((seen[2] += agents[2].readAll()).contains("start listen success"), 15000);
    QVERIFY(seen[2].contains("continue to connect server"));
    agents[2].terminate(); // not kill(): a coverage build writes its counters on SIGTERM
    agents[2].waitForFinished();
}

void TestApp::classifyRequest_data()
{
    using Request = SocketServerLock::Request;
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("kind");
    const QByteArray other = otherLocalUser().toLocal8Bit();
    QTest::newRow("same user, CR LF") << QByteArray("alice\r\n") << int(Request::SameUser);
    QTest::newRow("other local user, newline") << other + '\n' << int(Request::OtherLogin);
    QTest::newRow("exit") << QByteArray("exit") << int(Request::OtherLogin);
    QTest::newRow("exit, newline") << QByteArray("exit\n") << int(Request::Invalid);
    QTest::newRow("unknown name") << QByteArray("lexitia") << int(Request::Invalid);
    QTest::newRow("local user, then NUL") << other + QByteArray("\0x", 2) << int(Request::Invalid);
    QTest::newRow("too long") << QByteArray(257, 'a') << int(Request::Invalid);
}

void TestApp::classifyRequest()
{
    QFETCH(QByteArray, received);
    QFETCH(int, kind);
    QCOMPARE(int(SocketServerLock::classifyRequest(received, "alice")), kind);
}

// The configuration tool or the installer holds the lock: the starter asks
// whether to end it, and ends it only on "是".
void TestApp::siblingProgram_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QString>("question");
    const QString tool = "启动打印机状态监视器将自动退出配置管理工具，请确定是否继续？";
    const QString install = "启动打印机状态监视器将自动退出安装向导，请确定是否继续？";
    QTest::newRow("tool, yes") << "tool" << true << tool;
    QTest::newRow("install, no") << "install" << false << install;
}

void TestApp::siblingProgram()
{
    QFETCH(QString, role);
    QFETCH(bool, yes);
    QFETCH(QString, question);
    const quint16 port = freeLoopbackPort();
    QProcess holder;
    holder.start(PSM_BUILD_DIR "/tests/lockholder", { "alice", role, QString::number(port) });
    QVERIFY(holder.waitForReadyRead(10000));
    // The agent's own message box, answered by a click on its button.
    installLockPrompts();
    QStringList asked;
    QTimer answer;
    connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            return;
        }
        answer.stop();
        asked << box->windowTitle() << box->text();
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == (yes ? "是" : "否")) {
                button->click();
            }
        }
    });
    answer.start(50);
    SocketServerLock lock("alice", "agent");
    lock.setPort(port);
    QCOMPARE(lock.start(), yes ? 0 : -1);
    SocketServerLock::setQuestionHandler(nullptr);
    SocketServerLock::setErrorHandler(nullptr);
    QCOMPARE(asked, QStringList({ "提示", question }));
    QCOMPARE(holder.waitForFinished(3000), yes);
    holder.kill();
    holder.waitForFinished();
}

QTEST_MAIN(TestApp)
#include "TestApp.moc"
