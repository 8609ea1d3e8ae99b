// Whatever a printer, or anything posing as one, sends back ends as an error
// result or a parsed reply: no crash, no hang, no allocation sized by a length
// the peer announced. Byte 0: bit 0, the rest is a payload to encipher into a
// frame (so that mutations reach the Thrift parser) rather than the wire
// itself; bit 1, a USB link. Byte 1: the call, modulo the number of calls.
#include "channel/Client.h"
#include "channel/SafeConnector.h"
#include "sm4/Sm4Cipher.h"
#include "transport/TSecurityTransport.h"

#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TVirtualTransport.h>

#include <cstring>
#include <functional>

using namespace apache::thrift::transport;

namespace
{

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

// The printer's end of a link that has said everything: reads hand out the
// bytes, then nothing, and the link counts as closed so a USB reader stops.
class ReplayTransport : public TVirtualTransport<ReplayTransport>
{
public:
    explicit ReplayTransport(std::string bytes)
        : m_bytes(std::move(bytes))
    {
    }
    bool isOpen() const override { return m_open && m_pos < m_bytes.size(); }
    void open() override { m_open = true; }
    void close() override { m_open = false; }
    uint32_t read(uint8_t* buf, uint32_t len)
    {
        const size_t give = std::min<size_t>(len, m_bytes.size() - m_pos);
        std::memcpy(buf, m_bytes.data() + m_pos, give);
        m_pos += give;
        return uint32_t(give);
    }
    void write(const uint8_t*, uint32_t) { }

private:
    std::string m_bytes;
    size_t m_pos = 0;
    bool m_open = false;
};

// Stands in for a TCP connection or a USB link below the SafeConnector.
class ReplayConnector : public Connector
{
public:
    ReplayConnector(std::string wire, bool usb)
        : Connector(!usb)
        , m_usb(usb)
    {
        m_transport = std::make_shared<ReplayTransport>(std::move(wire));
    }
    QString connectorType() const override { return m_usb ? QStringLiteral("usb") : QStringLiteral("socket"); }
    bool open() override { return Connector::open(); }
    void close() override { Connector::close(); }

private:
    bool m_usb;
};

std::string encipherFrame(const uint8_t* payload, size_t size)
{
    const QByteArray key = hexToBytes(QLatin1String(ChannelKey));
    auto cipher = std::make_shared<Sm4Cipher>(reinterpret_cast<const uint8_t*>(key.constData()), size_t(key.size()));
    auto sink = std::make_shared<TMemoryBuffer>();
    TSecurityTransport frames(sink, cipher, uint32_t(key.size()), 1024, SafeConnector::MaxSocketFrameSize);
    frames.write(payload, uint32_t(size));
    frames.flush();
    return sink->getBufferAsString();
}

template <class ClientType, class Args, class Response>
int32_t run(const std::shared_ptr<Connector>& connector, int32_t (ClientType::*method)(const Args&, Response&))
{
    ClientType client(connector);
    Args args;
    Response response;
    return (client.*method)(args, response);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = (qInstallMessageHandler(dropMessage), true);
    (void)quiet;
    if (size < 2) {
        return 0;
    }
    const bool usb = (data[0] & 2) != 0;
    std::string wire(reinterpret_cast<const char*>(data + 2), size - 2);
    if (data[0] & 1) {
        wire = encipherFrame(data + 2, size - 2);
    }
    const auto connector
        = std::make_shared<SafeConnector>(std::make_shared<ReplayConnector>(wire, usb), QLatin1String(ChannelKey));
    // The calls of a status poll and of USB registration, the only ones the agent makes.
    const std::function<int32_t()> calls[] = {
        [&] { return run(connector, &UserClient::login); },
        [&] { return run(connector, &DeviceClient::getDeviceId); },
        [&] { return run(connector, &DeviceClient::getDeviceInfo); },
        [&] { return run(connector, &DeviceClient::getPrinterStatus); },
        [&] { return run(connector, &SystemClient::getVersion); },
    };
    // The wrappers catch every Thrift and runtime error themselves.
    const int32_t result = calls[data[1] % 5]();
    if (result != 0 && result != -1) {
        __builtin_trap();
    }
    return 0;
}
