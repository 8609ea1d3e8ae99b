#ifndef PSM_CONNECTOR_H
#define PSM_CONNECTOR_H

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <memory>

namespace apache
{
namespace thrift
{
namespace transport
{
class TTransport;
}
} // namespace thrift
} // namespace apache

// One physical path to a printer. A connector owns a Thrift transport, opens
// it on first use, lets one RPC call at a time run over it and closes it
// again after the call (TCP) or keeps it open for the next one (USB).
//
// One call: acquire(token) -> protocol on getTransport() -> call ->
// release(token, false), or release(token, true) after the call threw.
//
// Locks: the usage lock is held by the caller from acquire to release and
// serialises the calls; the state lock guards the fields below inside
// acquire and release. The usage lock is always taken first.
class Connector
{
public:
    virtual ~Connector();

    // 0: the caller now holds the connector (when this call opened the
    //    transport, token receives the new owner token);
    // -1: opening the transport failed;
    // -2: the connector stayed busy for 5000 ms, or it is owned by another
    //    token while closed.
    virtual int acquire(QString& token);
    // Gives the usage lock back. Returns whether token was accepted. A TCP
    // transport is closed; a USB one stays open unless force is set or
    // keepOpen is off. A forced release follows a failed call and closes the
    // transport whoever owns it, since the link may be broken.
    virtual bool release(const QString& token, bool force);

    virtual QString connectorType() const = 0; // "socket" or "usb"
    // Every kind opens and closes its transport the same way, given here; a
    // transport error is logged and reported as false (open) or swallowed
    // (close).
    virtual bool open() = 0;
    virtual void close() = 0;
    // Callable from any thread: makes a call blocked on this connector's
    // link fail at once, and every later open fail, so that a stopping
    // owner need not wait for time-outs. Kinds without that ability ignore it.
    virtual void cut() { }

    std::shared_ptr<apache::thrift::transport::TTransport> getTransport() const { return m_transport; }
    bool sharedOpen() const { return m_sharedOpen; }
    bool keepOpen() const { return m_keepOpen; }
    void setKeepOpen(bool keep) { m_keepOpen = keep; }
    // True when no owner is recorded or token is the owner's.
    bool acceptsToken(const QString& token) const;

    static constexpr int UsageWaitMs = 5000;

protected:
    explicit Connector(bool sharedOpen);

    bool transportIsOpen() const;

    std::shared_ptr<apache::thrift::transport::TTransport> m_transport;

private:
    Q_DISABLE_COPY(Connector)

    const bool m_sharedOpen;
    bool m_opened = false;
    QString m_ownerToken;
    bool m_usageHeld = false;
    mutable QMutex m_stateLock;
    QMutex m_usageLock;
    bool m_keepOpen = true;
};

// Bytes from a text of blank-separated hexadecimal numbers ("3a 7c 91").
// Parsing stops at the first part that is not a number; that part is logged.
QByteArray hexToBytes(const QString& text);

// The key of every printer's management channel.
extern const char* const ChannelKey;

#endif // PSM_CONNECTOR_H
