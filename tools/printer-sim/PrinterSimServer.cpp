#include "PrinterSimServer.h"

#include "SimSession.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

namespace
{
constexpr int ScenarioPollMs = 300;
}

PrinterSimServer::PrinterSimServer(int defaultPort, QObject* parent)
    : QObject(parent)
    , m_defaultPort(defaultPort)
{
}

PrinterSimServer::~PrinterSimServer() = default;

QString PrinterSimServer::endpointKey(const SimPrinterConfig& config) const
{
    return config.address + QLatin1Char(':') + QString::number(config.port ? config.port : m_defaultPort);
}

bool PrinterSimServer::setScenario(const QByteArray& json, QString* error)
{
    SimScenario scenario;
    if (!parseScenario(json, scenario, error)) {
        return false;
    }
    applyScenario(scenario);
    return true;
}

void PrinterSimServer::applyScenario(const SimScenario& scenario)
{
    m_errors.clear();
    QMap<QString, SimPrinterConfig> wanted;
    for (const SimPrinterConfig& config : scenario.printers) {
        wanted.insert(endpointKey(config), config);
    }

    QMutexLocker locker(&m_mutex);
    for (auto it = m_endpoints.begin(); it != m_endpoints.end();) {
        if (!wanted.contains(it.key())) {
            note(QStringLiteral("removed %1").arg(it.key()));
            delete it->server;
            it = m_endpoints.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it) {
        Endpoint& endpoint = m_endpoints[it.key()];
        if (endpoint.printer) {
            endpoint.printer->setConfig(it.value());
        } else {
            endpoint.printer = std::make_shared<SimPrinter>(it.value());
        }
        updateListener(it.key(), endpoint);
    }
    locker.unlock();
    emit scenarioApplied();
}

void PrinterSimServer::updateListener(const QString& key, Endpoint& endpoint)
{
    const SimPrinterConfig config = endpoint.printer->config();
    if (config.fault == SimFault::Refuse) {
        if (endpoint.server) {
            note(QStringLiteral("refusing %1").arg(key));
            delete endpoint.server;
            endpoint.server = nullptr;
        }
        return;
    }
    if (endpoint.server) {
        return;
    }
    auto* server = new QTcpServer(this);
    const int port = config.port ? config.port : m_defaultPort;
    if (!server->listen(QHostAddress(config.address), quint16(port))) {
        m_errors.append(QStringLiteral("%1: %2").arg(key, server->errorString()));
        note(QStringLiteral("cannot listen on %1: %2").arg(key, server->errorString()));
        delete server;
        return;
    }
    const std::shared_ptr<SimPrinter> printer = endpoint.printer;
    connect(server, &QTcpServer::newConnection, this, [this, server, printer]() { onNewConnection(server, printer); });
    endpoint.server = server;
    note(QStringLiteral("listening on %1 (%2)").arg(key, config.model));
}

void PrinterSimServer::onNewConnection(QTcpServer* server, const std::shared_ptr<SimPrinter>& printer)
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        printer->countConnection();
        if (m_verbose) {
            note(QStringLiteral("connection from %1 to %2")
                     .arg(socket->peerAddress().toString(), socket->localAddress().toString()));
        }
        // The socket outlives the listener if the scenario drops it meanwhile.
        socket->setParent(this);
        auto session = std::make_shared<SimSession>(printer);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, session]() {
            const QByteArray received = socket->readAll();
            bool closing = false;
            for (const SimOutput& output : session->feed(received)) {
                send(socket, output);
                closing = closing || output.closeAfter;
            }
            if (session->broken() && !closing) {
                socket->abort(); // a rejected frame ends the connection
            }
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void PrinterSimServer::send(QTcpSocket* socket, const SimOutput& output)
{
    auto deliver = [socket, output]() {
        if (!output.bytes.isEmpty()) {
            socket->write(output.bytes);
            socket->flush();
        }
        if (output.closeAfter) {
            socket->disconnectFromHost();
        }
        if (output.dribbleMs > 0) {
            auto* drip = new QTimer(socket);
            QObject::connect(drip, &QTimer::timeout, socket, [socket] {
                socket->write(QByteArray(1, '\x5a'));
                socket->flush();
            });
            drip->start(output.dribbleMs);
        }
    };
    if (output.delayMs > 0) {
        QTimer::singleShot(output.delayMs, socket, deliver);
    } else {
        deliver();
    }
}

bool PrinterSimServer::watchScenarioFile(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        }
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (!setScenario(bytes, error)) {
        return false;
    }
    m_scenarioPath = path;
    m_scenarioBytes = bytes;
    if (!m_watchTimer) {
        // Polling the contents catches editors that replace the file as well
        // as those that rewrite it, and changes within one time-stamp tick.
        m_watchTimer = new QTimer(this);
        connect(m_watchTimer, &QTimer::timeout, this, &PrinterSimServer::pollScenarioFile);
        m_watchTimer->start(ScenarioPollMs);
    }
    return true;
}

void PrinterSimServer::pollScenarioFile()
{
    QFile file(m_scenarioPath);
    if (!file.open(QIODevice::ReadOnly)) {
        return; // being replaced; try again on the next tick
    }
    const QByteArray bytes = file.readAll();
    if (bytes == m_scenarioBytes) {
        return;
    }
    m_scenarioBytes = bytes;
    QString error;
    if (setScenario(bytes, &error)) {
        note(QStringLiteral("scenario reloaded from %1").arg(m_scenarioPath));
    } else {
        note(QStringLiteral("scenario not reloaded, keeping the previous one: %1").arg(error));
    }
}

std::shared_ptr<SimPrinter> PrinterSimServer::printer(const QString& address, int port) const
{
    QMutexLocker locker(&m_mutex);
    const QString key = address + QLatin1Char(':') + QString::number(port ? port : m_defaultPort);
    const auto it = m_endpoints.constFind(key);
    return it == m_endpoints.cend() ? nullptr : it->printer;
}

QStringList PrinterSimServer::listening() const
{
    QMutexLocker locker(&m_mutex);
    QStringList keys;
    for (auto it = m_endpoints.cbegin(); it != m_endpoints.cend(); ++it) {
        if (it->server) {
            keys.append(it.key());
        }
    }
    return keys;
}

void PrinterSimServer::note(const QString& text) const
{
    QTextStream(stderr) << "printer-sim: " << text << Qt::endl;
}
