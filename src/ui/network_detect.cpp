#include "ui/network_detect.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>

ProbeTarget ProbeTarget::fromConfig(const QByteArray& content)
{
    const QJsonValue probe = QJsonDocument::fromJson(content).object().value(QStringLiteral("networkProbe"));
    const QJsonValue host = probe.toObject().value(QStringLiteral("host"));
    const QJsonValue port = probe.toObject().value(QStringLiteral("port"));
    const QString hostText = host.toString().trimmed();
    if (hostText.isEmpty()) {
        return ProbeTarget();
    }
    ProbeTarget target;
    if (!port.isUndefined()) {
        // Only a whole number in range: 80.5 or "80" is a mistake, not port 80.
        const double number = port.toDouble(-1);
        if (!port.isDouble() || number < 1 || number > 65535 || number != static_cast<int>(number)) {
            return ProbeTarget();
        }
        target.port = static_cast<quint16>(number);
    }
    target.host = hostText;
    return target;
}

ProbeTarget ProbeTarget::readConfig(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return ProbeTarget();
    }
    return fromConfig(file.readAll());
}

network_detect::network_detect(QObject* parent)
    : QThread(parent)
{
}

network_detect::~network_detect()
{
    stopDetect();
    wait();
}

void network_detect::setTarget(const ProbeTarget& target)
{
    QMutexLocker locker(&m_lock);
    m_target = target;
}

ProbeTarget network_detect::target() const
{
    QMutexLocker locker(&m_lock);
    return m_target;
}

void network_detect::startDetect()
{
    m_running = true;
    start(QThread::InheritPriority);
    emit sig_start();
}

void network_detect::stopDetect()
{
    m_running = false;
    // Wake the loop from its connection wait or its pause.
    QMutexLocker locker(&m_lock);
    if (m_loop) {
        QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
}

void network_detect::slot_timeout()
{
    const bool connected = m_connected;
    emit send_network_connect_state(connected ? 1 : 0);
    emit sig_isOnLine(connected);
}

void network_detect::run()
{
    // The waits run a local event loop rather than sleeping, so that
    // stopDetect() ends them at once.
    QEventLoop loop;
    {
        QMutexLocker locker(&m_lock);
        m_loop = &loop;
    }
    while (m_running) {
        const bool connected = probe(loop, target());
        if (!m_running) {
            break;
        }
        m_connected = connected;
        emit send_network_connect_state(connected ? 1 : 0);
        emit sig_isOnLine(connected);
        pause(loop, ProbeIntervalMs);
    }
    QMutexLocker locker(&m_lock);
    m_loop = nullptr;
}

bool network_detect::probe(QEventLoop& loop, const ProbeTarget& target)
{
    QTcpSocket socket;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    connect(&socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);

    socket.connectToHost(target.host, target.port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    timeout.start(ConnectTimeoutMs);
    if (socket.state() != QAbstractSocket::ConnectedState && socket.state() != QAbstractSocket::UnconnectedState) {
        loop.exec();
    }
    const bool connected = socket.state() == QAbstractSocket::ConnectedState;
    socket.abort();
    return connected;
}

void network_detect::pause(QEventLoop& loop, int msecs)
{
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(msecs);
    if (m_running) {
        loop.exec();
    }
}
