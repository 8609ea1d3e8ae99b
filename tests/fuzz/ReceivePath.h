#ifndef PSM_FUZZ_RECEIVEPATH_H
#define PSM_FUZZ_RECEIVEPATH_H

// The client's receive path as the receive harness drives it, shared with the
// program that makes its seeds so that both agree on the input layout:
//
//   byte 0   bit 0: 0 = the rest is the wire (length, IV, cipher text),
//                   1 = the rest is the plain payload of one frame, enciphered
//                       under the channel key before it is read;
//            bit 1: the frame transport of a USB link instead of TCP;
//   byte 1   the service wrapper method, modulo wrapperTargets().size();
//   byte 2.. the bytes.

#include "channel/Client.h"
#include "channel/Connector.h"
#include "channel/SafeConnector.h"
#include "sm4/Sm4Cipher.h"
#include "transport/TSecurityTransport.h"

#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TVirtualTransport.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace receivepath
{

using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TSecurityTransport;
using apache::thrift::transport::TTransport;
using apache::thrift::transport::TVirtualTransport;

constexpr uint8_t EncipheredBit = 0x01;
constexpr uint8_t UsbBit = 0x02;
constexpr size_t HeaderBytes = 2;

inline std::shared_ptr<Sm4Cipher> channelCipher()
{
    static const auto cipher = [] {
        const QByteArray key = hexToBytes(QLatin1String(ChannelKey));
        return std::make_shared<Sm4Cipher>(reinterpret_cast<const uint8_t*>(key.constData()), size_t(key.size()));
    }();
    return cipher;
}

// One frame around payload under the channel key, with a fixed IV so that the
// same input always gives the same wire bytes.
inline std::string encipherFrame(const uint8_t* payload, size_t size)
{
    const size_t block = Sm4Cipher::BlockSize;
    const size_t padding = block - size % block;
    std::string body(reinterpret_cast<const char*>(payload), size);
    body.append(padding, char(padding));
    const uint8_t iv[TSecurityTransport::IvSize] = {};
    std::string frame(TSecurityTransport::HeaderSize + body.size(), '\0');
    const uint32_t length = uint32_t(TSecurityTransport::IvSize + body.size());
    for (int i = 0; i < 4; ++i) {
        frame[size_t(i)] = char(length >> (24 - 8 * i));
    }
    std::memcpy(&frame[TSecurityTransport::LengthSize], iv, sizeof iv);
    auto* out = reinterpret_cast<uint8_t*>(&frame[TSecurityTransport::HeaderSize]);
    channelCipher()->encryptCbc(iv, reinterpret_cast<const uint8_t*>(body.data()), body.size(), out);
    return frame;
}

// The printer's end of a link that has already said everything: reads hand
// out the recorded bytes, then nothing (and the link counts as closed, so a
// USB-style reader stops waiting); writes are dropped.
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

// A plain connector over a ReplayTransport, standing in for a TCP connection
// or a USB link below the SafeConnector.
class ReplayConnector : public Connector
{
public:
    ReplayConnector(std::shared_ptr<TTransport> transport, bool usb)
        : Connector(!usb)
        , m_usb(usb)
    {
        m_transport = std::move(transport);
    }
    QString connectorType() const override { return m_usb ? QStringLiteral("usb") : QStringLiteral("socket"); }
    bool open() override
    {
        m_transport->open();
        return true;
    }
    void close() override { m_transport->close(); }

private:
    bool m_usb;
};

// The encrypted connector the service wrappers use, over recorded bytes.
inline std::shared_ptr<Connector> replayConnector(std::string wire, bool usb)
{
    auto inner = std::make_shared<ReplayConnector>(std::make_shared<ReplayTransport>(std::move(wire)), usb);
    return std::make_shared<SafeConnector>(inner, QLatin1String(ChannelKey));
}

// In-memory bytes to read. (A TMemoryBuffer copied from no bytes at all has
// no buffer, which Thrift's fast paths then offset.)
inline std::shared_ptr<TMemoryBuffer> memoryOf(const std::string& bytes)
{
    auto memory = std::make_shared<TMemoryBuffer>();
    memory->write(reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
    return memory;
}

struct WrapperTarget {
    const char* name;
    // Runs the method through the wrapper; returns its result.
    std::function<int32_t(const std::shared_ptr<Connector>&)> call;
};

template <class ClientType, class Args, class Response>
WrapperTarget wrapper(const char* name, int32_t (ClientType::*method)(const Args&, Response&))
{
    return { name, [method](const std::shared_ptr<Connector>& connector) {
                ClientType client(connector);
                Args args;
                Response response;
                return (client.*method)(args, response);
            } };
}

inline const std::vector<WrapperTarget>& wrapperTargets()
{
    static const std::vector<WrapperTarget> targets{
        // The calls of a status poll and of USB registration: the only ones
        // the agent makes.
        wrapper("UserClient::login", &UserClient::login),
        wrapper("DeviceClient::getDeviceId", &DeviceClient::getDeviceId),
        wrapper("DeviceClient::getDeviceInfo", &DeviceClient::getDeviceInfo),
        wrapper("DeviceClient::getPrinterStatus", &DeviceClient::getPrinterStatus),
        wrapper("SystemClient::getVersion", &SystemClient::getVersion),
    };
    return targets;
}

} // namespace receivepath

#endif // PSM_FUZZ_RECEIVEPATH_H
