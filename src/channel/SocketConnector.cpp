#include "channel/SocketConnector.h"

#include "core/Log.h"

#include <thrift/TOutput.h>
#include <thrift/transport/TSocket.h>
#include <thrift/transport/TTransportException.h>

#include <atomic>

using apache::thrift::transport::TSocket;
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
    auto socket = std::make_shared<TSocket>(ip.toStdString(), port);
    socket->setConnTimeout(ConnectTimeoutMs);
    const int receiveTimeout = receiveTimeoutOverride.load();
    socket->setRecvTimeout(receiveTimeout > 0 ? receiveTimeout : ReceiveTimeoutMs);
    m_transport = socket;
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

void SocketConnector::setReceiveTimeoutForTesting(int milliseconds)
{
    receiveTimeoutOverride.store(milliseconds);
}
