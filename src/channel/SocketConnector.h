#ifndef PSM_SOCKETCONNECTOR_H
#define PSM_SOCKETCONNECTOR_H

#include "channel/Connector.h"

class ReplySocket;

// A TCP connection to a printer's RPC port: a new connection per call. The
// receive time-out bounds each whole reply (see ReplySocket).
class SocketConnector : public Connector
{
public:
    static constexpr int ConnectTimeoutMs = 5000;
    static constexpr int ReceiveTimeoutMs = 120000;

    SocketConnector(const QString& ip, int port);

    // "192.168.1.20:9202"
    static QString makeId(const QString& ip, int port);

    QString connectorType() const override;
    bool open() override;
    void close() override;
    void cut() override;

    // Test hook: connectors built after this call use the given receive
    // time-out instead of ReceiveTimeoutMs; 0 restores the normal one. Lets a
    // test against a printer that never answers finish in seconds.
    static void setReceiveTimeoutForTesting(int milliseconds);

private:
    std::shared_ptr<ReplySocket> m_socket;
};

#endif // PSM_SOCKETCONNECTOR_H
