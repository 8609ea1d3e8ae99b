#include "channel/SocketConnector.h"

#include "channel/ReplySocket.h"
#include "core/Log.h"

#include <thrift/TOutput.h>
#include <thrift/transport/TTransportException.h>

#include <atomic>

using apache::thrift::transport::TTransportException;

namespace
{

std::atomic<int> receiveTimeoutOverride{ 0 };

// Thrift writes its own lines to standard error for every failed connect;
// the same failure is logged by open() in the agent's line layout.
void quietThriftOutput(const char*) { }

} // namespace

SocketConnector::SocketConnector(const QString& ip, int port)
    : Connector(true)
{
    static const bool quiet = (apache::thrift::GlobalOutput.setOutputFunction(quietThriftOutput), true);
    Q_UNUSED(quiet)
    const int receiveTimeout = receiveTimeoutOverride.load();
    m_socket = std::make_shared<ReplySocket>(ip.toStdString(), port, ConnectTimeoutMs,
                                             receiveTimeout > 0 ? receiveTimeout : ReceiveTimeoutMs);
    m_transport = m_socket;
}

QString SocketConnector::makeId(const QString& ip, int port)
{
    return ip + QLatin1Char(':') + QString::number(port);
}

QString SocketConnector::connectorType() const
{
    return QStringLiteral("socket");
}

bool SocketConnector::open()
{
    return Connector::open();
}

void SocketConnector::close()
{
    Connector::close();
}

void SocketConnector::cut()
{
    m_socket->cut();
}

void SocketConnector::setReceiveTimeoutForTesting(int milliseconds)
{
    receiveTimeoutOverride.store(milliseconds);
}
