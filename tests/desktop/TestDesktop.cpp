// The real agent on the desktops users have: an X server (Xvfb) or a Wayland
// compositor (weston, headless), a private session bus at a socket path, a
// tray that embeds icons (trayer), one that takes them over D-Bus
// (xfce4-panel's StatusNotifierItem tray) or none, and a notification daemon
// (dunst) or a listener that records each notification and invokes its
// action as a daemon does. A jammed printer must reach the user on each.

#include "CupsSandbox.h"
#include "LoggedProcess.h"
#include "TestPorts.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QRegularExpression>
#include <QtTest>

namespace
{
const QString Jam = QStringLiteral("打印机卡纸(20006)");
const QString WindowTitle = QStringLiteral("打印机状态监控");
// A tray host or a restarted one must show the icon within this.
constexpr int IconBackMs = 5000;

// The output of a program run to its end.
QString output(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

// When the agent logged its last tray message, from the line's own stamp.
qint64 reportedAt(const QString& log)
{
    static const QRegularExpression line("\\[ \"([^\"]+)\" ,  onSystemTrayShowText \\]");
    QString stamp;
    for (auto it = line.globalMatch(log); it.hasNext();) {
        stamp = it.next().captured(1);
    }
    return QDateTime::fromString(stamp, "yyyy-MM-dd hh:mm:ss.zzz").toMSecsSinceEpoch();
}
} // namespace

// Owns org.freedesktop.Notifications on the test's own bus connection.
class NotificationListener : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        QString title;
        QString body;
        QStringList actions;
        QVariantMap hints;
        qint64 at;
    };
    QList<Call> calls;

    explicit NotificationListener(QDBusConnection bus)
        : m_bus(bus)
    {
    }
    bool start()
    {
        return m_bus.registerObject("/org/freedesktop/Notifications", this, QDBusConnection::ExportAllSlots)
            && m_bus.registerService("org.freedesktop.Notifications");
    }
    // What a daemon sends when the user clicks the notification.
    void invoke(uint id)
    {
        QDBusMessage signal = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                         "org.freedesktop.Notifications", "ActionInvoked");
        signal << id << QStringLiteral("default");
        m_bus.send(signal);
    }

public slots:
    QStringList GetCapabilities() { return { "actions", "body" }; }
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int)
    {
        calls.append({ summary, body, actions, hints, QDateTime::currentMSecsSinceEpoch() });
        return uint(calls.size());
    }
    void CloseNotification(uint) { }
    QString GetServerInformation(QString& vendor, QString& version, QString& spec)
    {
        vendor = "test";
        version = "1";
        spec = "1.2";
        return "listener";
    }

private:
    QDBusConnection m_bus;
};

class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void jamReachesTheUser_data();
    void jamReachesTheUser();

private:
    QProcessEnvironment desktop(const QString& display) const;
    bool startTray(const QString& tray);
    bool iconShown(const QString& tray);
    void startAgent();
    bool windowShown(const QString& display);
    QString balloon();
    qint64 waitForMessage(const QString& tray, const QString& daemon);
    void invokeMessage(const QString& tray, const QString& daemon);

    CupsSandbox m_cups;
    QTemporaryDir m_dir;
    LoggedProcess m_sim;
    QTcpServer m_probe;
    // What a row starts, in the order it is stopped.
    struct Row {
        LoggedProcess agent;
        LoggedProcess daemon;
        LoggedProcess tray;
        LoggedProcess wayland;
        LoggedProcess x;
        LoggedProcess bus;
    };
    std::unique_ptr<Row> m_row;
    QString m_session; // the row's own folder: runtime dir, bus socket, configuration
    std::unique_ptr<NotificationListener> m_listener;
    QString m_display;
    QString m_displayKind;
};

void TestDesktop::initTestCase()
{
    QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError()));
    QVERIFY(m_probe.listen(QHostAddress::LocalHost, 0));
    QVERIFY(makeAgentTree(m_dir.filePath("agent"), freeLoopbackPort(), m_probe.serverPort()));
    writeJson(m_dir.filePath("scenario.json"),
              { { "printers",
                  QJsonArray{ QJsonObject{ { "address", "127.0.6.1" },
                                           { "state", 3 },
                                           { "flags", QJsonArray{ 32 } },
                                           { "detail", "x,1,200324" } } } } });
    m_sim.start(PSM_BUILD_DIR "/bin/printer-sim", { m_dir.filePath("scenario.json") });
    QVERIFY(m_sim.waitFor("printer-sim: ready", 10000));
    QVERIFY(m_cups.addQueue("jam1", "socket://127.0.6.1:9100", "TR-M400"));
}

// Each row gets its own X server and session bus, and a panel that holds only a tray.
void TestDesktop::init()
{
    static int rows = 0;
    m_row = std::make_unique<Row>();
    m_session = m_dir.filePath(QString::number(++rows));
    const QString panels = m_session + "/config/xfce4/xfconf/xfce-perchannel-xml";
    QVERIFY(QDir().mkpath(panels) && QDir().mkpath(m_session + "/services"));
    QFile::setPermissions(m_session, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(QFile::copy(PSM_SOURCE_DIR "/tests/desktop/xfce4-panel.xml", panels + "/xfce4-panel.xml"));
    // The panel's settings service is the only one the bus may start.
    QVERIFY(QFile::copy("/usr/share/dbus-1/services/org.xfce.Xfconf.service",
                        m_session + "/services/org.xfce.Xfconf.service"));
    QFile config(m_session + "/bus.conf");
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1/bus</listen>"
                                "<servicedir>%1/services</servicedir><policy context=\"default\">"
                                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                "<allow own=\"*\"/></policy></busconfig>")
                     .arg(m_session)
                     .toUtf8());
    config.close();
    m_row->bus.start("dbus-daemon", { "--nofork", "--nopidfile", "--config-file=" + config.fileName() });
    QTRY_VERIFY(QFile::exists(m_session + "/bus"));

    // A display number of the server's choosing, written back on its output.
    m_row->x.start("Xvfb", { "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x800x24" });
    static const QRegularExpression number("^(\\d+)$", QRegularExpression::MultilineOption);
    QTRY_VERIFY_WITH_TIMEOUT(number.match(m_row->x.log()).hasMatch(), 10000);
    m_display = ':' + number.match(m_row->x.log()).captured(1);
    const QDBusConnection bus = QDBusConnection::connectToBus("unix:path=" + m_session + "/bus", m_session);
    QVERIFY(bus.isConnected());
    m_listener = std::make_unique<NotificationListener>(bus);
}

void TestDesktop::cleanup()
{
    m_row.reset();
    m_listener.reset();
    QDBusConnection::disconnectFromBus(m_session);
}

QProcessEnvironment TestDesktop::desktop(const QString& display) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM"); // the test itself runs offscreen, the agent on the desktop
    env.insert("XDG_RUNTIME_DIR", m_session);
    env.insert("XDG_CONFIG_HOME", m_session + "/config");
    env.insert("HOME", m_session);
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_session + "/bus");
    if (display == "no session bus") {
        // Nor the bus libdbus would find in the runtime folder.
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        QDir().mkpath(m_session + "/no-bus");
        env.insert("XDG_RUNTIME_DIR", m_session + "/no-bus");
    }
    env.insert("DISPLAY", m_display);
    if (display == "wayland") {
        env.remove("DISPLAY");
        env.insert("WAYLAND_DISPLAY", "wayland-psm");
    }
    return env;
}

bool TestDesktop::startTray(const QString& tray)
{
    m_row->tray.setProcessEnvironment(desktop("x11"));
    if (tray == "trayer") {
        m_row->tray.start("trayer", { "--edge", "top", "--align", "left", "--widthtype", "request", "--height", "32" });
    } else if (tray == "xfce4-panel") {
        m_row->tray.start("xfce4-panel", { "--disable-wm-check" });
    } else {
        return true;
    }
    // Ready once its window is up and, for the panel, its tray takes items.
    const QString window = tray == "trayer" ? "(\"panel\" \"trayer\")" : "(\"xfce4-panel\" \"Xfce4-panel\")";
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        if (output("xwininfo", { "-root", "-tree" }, desktop("x11")).contains(window)
            && (tray == "trayer"
                || QDBusConnection(m_session).interface()->isServiceRegistered("org.kde.StatusNotifierWatcher"))) {
            return true;
        }
        QTest::qWait(100);
    }
    return false;
}

// The icon embedded in the X tray (a window of the agent's below a top-level
// one), or registered with the StatusNotifierItem watcher.
bool TestDesktop::iconShown(const QString& tray)
{
    if (tray == "xfce4-panel") {
        QDBusMessage get = QDBusMessage::createMethodCall("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                                          "org.freedesktop.DBus.Properties", "Get");
        get << "org.kde.StatusNotifierWatcher"
            << "RegisteredStatusNotifierItems";
        const QDBusReply<QDBusVariant> items = QDBusConnection(m_session).call(get);
        return items.isValid() && !items.value().variant().toStringList().isEmpty();
    }
    static const QRegularExpression embedded(R"(\n {9,}0x\w+ "printer-status-monitor": \("printer-status-monitor")");
    return output("xwininfo", { "-root", "-tree" }, desktop("x11")).contains(embedded);
}

void TestDesktop::startAgent()
{
    m_row->agent.setProcessEnvironment(desktop(m_displayKind));
    m_row->agent.start(m_dir.filePath("agent/bin/printer-status-monitor"), QStringList());
    QVERIFY(m_row->agent.waitFor("start listen success", 15000));
}

bool TestDesktop::windowShown(const QString& display)
{
    if (display == "wayland") {
        const QString scene = output("weston-debug", { "scene-graph" }, desktop("wayland"));
        return scene.contains("top-level window '" + WindowTitle + "'");
    }
    return !output("xdotool", { "search", "--onlyvisible", "--name", '^' + WindowTitle + '$' }, desktop("x11"))
                .isEmpty();
}

void TestDesktop::jamReachesTheUser_data()
{
    QTest::addColumn<QString>("tray"); // trayer, xfce4-panel or none
    QTest::addColumn<QString>("display"); // x11, wayland or "no session bus"
    QTest::addColumn<QString>("daemon"); // who shows notifications: listener, dunst or none
    // What follows the message: the user clicks it, starts the program again,
    // restarts the panel, or the display goes away.
    QTest::addColumn<QStringList>("then");
    QTest::newRow("XEmbed tray (trayer)") << "trayer"
                                          << "x11"
                                          << "listener" << QStringList{ "click", "tray restart" };
    QTest::newRow("StatusNotifierItem tray (xfce4-panel)")
        << "xfce4-panel"
        << "x11"
        << "listener" << QStringList{ "second start", "tray restart" };
    QTest::newRow("no tray, dunst") << "none"
                                    << "x11"
                                    << "dunst" << QStringList{ "click", "display gone" };
    QTest::newRow("Wayland, no tray") << "none"
                                      << "wayland"
                                      << "listener" << QStringList{ "second start", "display gone" };
    QTest::newRow("no tray, no session bus") << "none"
                                             << "no session bus"
                                             << "none" << QStringList{};
}

void TestDesktop::jamReachesTheUser()
{
    QFETCH(QString, tray);
    QFETCH(QString, display);
    QFETCH(QString, daemon);
    QFETCH(QStringList, then);
    m_displayKind = display;
    if (daemon == "listener") {
        QVERIFY(m_listener->start());
    } else if (daemon == "dunst") {
        m_row->daemon.setProcessEnvironment(desktop("x11"));
        m_row->daemon.start("dunst", QStringList());
        QTRY_VERIFY(QDBusConnection(m_session).interface()->isServiceRegistered("org.freedesktop.Notifications"));
    }
    if (display == "wayland") {
        m_row->wayland.setProcessEnvironment(desktop("x11"));
        m_row->wayland.start("weston",
                             { "--backend=headless-backend.so", "--socket=wayland-psm", "--idle-time=0", "--debug" });
        QTRY_VERIFY(QFile::exists(m_session + "/wayland-psm"));
    }
    QVERIFY(startTray(tray));
    startAgent();
    if (tray != "none") {
        QTRY_VERIFY_WITH_TIMEOUT(iconShown(tray), IconBackMs);
    }

    // The jam reaches the user, and nothing is shown twice.
    const qint64 shownAt = waitForMessage(tray, daemon);
    QVERIFY(shownAt > 0 || daemon == "none");
    if (daemon == "none") {
        QVERIFY(m_row->agent.waitFor("messages cannot be shown: no system tray and no session bus", 5000));
        QCOMPARE(m_row->agent.log().count("messages cannot be shown"), 1);
        return;
    }
    qInfo().noquote() << QTest::currentDataTag() << ": report to message" << shownAt - reportedAt(m_row->agent.log())
                      << "ms";

    if (then.contains("click")) {
        invokeMessage(tray, daemon);
        QVERIFY(m_row->agent.waitFor(R"(onShowPrinter ] show printer "jam1")", 5000));
        QTRY_VERIFY(windowShown(display));
    }
    if (then.contains("second start")) {
        QVERIFY(!windowShown(display));
        LoggedProcess again;
        again.setProcessEnvironment(desktop(display));
        again.start(m_dir.filePath("agent/bin/printer-status-monitor"), QStringList());
        QVERIFY(again.waitForFinished(15000));
        QVERIFY2(again.exitStatus() == QProcess::NormalExit && again.exitCode() == 0,
                 qPrintable(again.log() + m_row->wayland.log()));
        QVERIFY(again.log().contains("already running,program will quit"));
        QVERIFY(m_row->agent.waitFor("this user login again : ", 5000));
        QTRY_VERIFY(windowShown(display));
    }
    if (then.contains("tray restart")) {
        m_row->tray.stop();
        QTRY_VERIFY(!iconShown(tray));
        QVERIFY(startTray(tray));
        QTRY_VERIFY_WITH_TIMEOUT(iconShown(tray), IconBackMs);
    }
    if (then.contains("display gone")) {
        (display == "wayland" ? m_row->wayland : m_row->x).stop();
        QVERIFY(m_row->agent.waitForFinished(5000));
        // Qt says why; on X11 the agent adds that it ends.
        QVERIFY(m_row->agent.log().contains("connection broke"));
    }
}

// A balloon of the agent's on the screen: a visible window of its own that
// is neither the icon nor the monitor window.
QString TestDesktop::balloon()
{
    const QProcessEnvironment env = desktop("x11");
    const QStringList windows
        = output("xdotool", { "search", "--onlyvisible", "--classname", "printer-status-monitor" }, env)
              .split('\n', Qt::SkipEmptyParts);
    for (const QString& id : windows) {
        const QString info = output("xwininfo", { "-id", id }, env);
        const int width = QRegularExpression(R"(Width: (\d+))").match(info).captured(1).toInt();
        if (width > 60 && !info.contains(WindowTitle)) {
            return id;
        }
    }
    return QString();
}

// When the jam reached the user: as a balloon of the tray icon, a
// notification the listener took (as sent, and only one), or one dunst shows.
qint64 TestDesktop::waitForMessage(const QString& tray, const QString& daemon)
{
    if (!m_row->agent.waitFor("onSystemTrayShowText ] \"打印机：jam1\"", 20000)) {
        return 0;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (tray == "trayer" && !balloon().isEmpty()) {
            return m_listener->calls.isEmpty() ? QDateTime::currentMSecsSinceEpoch() : -1;
        }
        if (tray != "trayer" && daemon == "listener" && !m_listener->calls.isEmpty()) {
            const NotificationListener::Call& call = m_listener->calls.first();
            // The tray's title and text, a normal urgency, an action that opens the printer.
            const bool asSent = call.title == "消息提示" && call.body.contains(Jam) && call.actions.contains("default")
                && call.hints.value("urgency").userType() == QMetaType::UChar
                && call.hints.value("urgency").toInt() == 1;
            return asSent && m_listener->calls.size() == 1 ? call.at : -1;
        }
        if (daemon == "dunst" && output("dunstctl", { "count", "displayed" }, desktop("x11")).trimmed() == "1") {
            return QDateTime::currentMSecsSinceEpoch();
        }
        QTest::qWait(20);
    }
    return 0;
}

// What the user does: a click on the balloon, or on the notification.
void TestDesktop::invokeMessage(const QString& tray, const QString& daemon)
{
    if (tray == "trayer") {
        const QString id = balloon();
        QVERIFY(!id.isEmpty());
        output("xdotool", { "mousemove", "--window", id, "20", "20", "click", "1" }, desktop("x11"));
    } else if (daemon == "dunst") {
        QCOMPARE(output("dunstctl", { "action", "0" }, desktop("x11")), QString());
        QTRY_VERIFY(output("dunstctl", { "history" }, desktop("x11")).contains(Jam));
    } else {
        m_listener->invoke(1);
    }
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "TestDesktop.moc"
