#include "SimSession.h"

#include "SimPrinter.h"
#include "sm4/Sm4Cipher.h"
#include "transport/TSecurityTransport.h"

#include "DeviceServer.h"
#include "FactoryServer.h"
#include "LogServer.h"
#include "PrintManagementServer.h"
#include "PrintServer.h"
#include "SecurityServer.h"
#include "SystemServer.h"
#include "UserServer.h"

#include <thrift/processor/TMultiplexedProcessor.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TVirtualTransport.h>

#include <cstring>

using namespace apache::thrift;
using namespace apache::thrift::transport;
using apache::thrift::protocol::TBinaryProtocol;

namespace
{

// The printer's half of the channel key.
const uint8_t ChannelKeyBytes[Sm4Cipher::KeySize]
    = { 0x3a, 0x7c, 0x91, 0xe4, 0x05, 0xb8, 0x6d, 0x2f, 0xc3, 0x58, 0x1e, 0xa9, 0x74, 0xd0, 0x6b, 0x82 };

std::shared_ptr<Sm4Cipher> channelCipher()
{
    static const auto cipher = std::make_shared<Sm4Cipher>(ChannelKeyBytes, sizeof ChannelKeyBytes);
    return cipher;
}

// Reads one received frame, collects what the processor writes.
class FramePipe : public TVirtualTransport<FramePipe>
{
public:
    explicit FramePipe(QByteArray input)
        : m_input(std::move(input))
    {
    }

    bool isOpen() const override { return true; }
    void open() override { }
    void close() override { }

    uint32_t read(uint8_t* buf, uint32_t len)
    {
        const uint32_t give = std::min<uint32_t>(len, uint32_t(m_input.size() - m_pos));
        std::memcpy(buf, m_input.constData() + m_pos, give);
        m_pos += give;
        return give;
    }
    void write(const uint8_t* buf, uint32_t len) { m_output.append(reinterpret_cast<const char*>(buf), len); }

    const std::string& output() const { return m_output; }

private:
    QByteArray m_input;
    int m_pos = 0;
    std::string m_output;
};

template <class ServiceIf> class ServiceHandler : public ServiceIf
{
public:
    ServiceHandler(std::shared_ptr<SimPrinter> printer, std::string service, std::shared_ptr<std::string> method)
        : m_printer(std::move(printer))
        , m_service(std::move(service))
        , m_method(std::move(method))
    {
    }

    void call(ks::rpc::model::ResponseContext& reply, const ks::rpc::model::RequestContext& request) override
    {
        *m_method = m_printer->handle(m_service, reply, request);
    }

private:
    std::shared_ptr<SimPrinter> m_printer;
    std::string m_service;
    std::shared_ptr<std::string> m_method;
};

template <class Processor, class ServiceIf>
void addService(TMultiplexedProcessor& multiplexed, const char* name, const std::shared_ptr<SimPrinter>& printer,
                const std::shared_ptr<std::string>& method)
{
    multiplexed.registerProcessor(
        name, std::make_shared<Processor>(std::make_shared<ServiceHandler<ServiceIf>>(printer, name, method)));
}

uint32_t readBigEndian32(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

} // namespace

SimSession::SimSession(std::shared_ptr<SimPrinter> printer)
    : m_printer(std::move(printer))
    , m_lastMethod(std::make_shared<std::string>())
{
    auto multiplexed = std::make_shared<TMultiplexedProcessor>();
    using namespace ks::rpc;
    addService<SystemServerProcessor, SystemServerIf>(*multiplexed, "SystemService", m_printer, m_lastMethod);
    addService<DeviceServerProcessor, DeviceServerIf>(*multiplexed, "DeviceService", m_printer, m_lastMethod);
    addService<UserServerProcessor, UserServerIf>(*multiplexed, "UserService", m_printer, m_lastMethod);
    addService<SecurityServerProcessor, SecurityServerIf>(*multiplexed, "SecurityService", m_printer, m_lastMethod);
    addService<PrintServerProcessor, PrintServerIf>(*multiplexed, "PrintService", m_printer, m_lastMethod);
    addService<PrintManagementServerProcessor, PrintManagementServerIf>(*multiplexed, "PrintManagementService",
                                                                        m_printer, m_lastMethod);
    addService<LogServerProcessor, LogServerIf>(*multiplexed, "LogService", m_printer, m_lastMethod);
    addService<FactoryServerProcessor, FactoryServerIf>(*multiplexed, "FactoryService", m_printer, m_lastMethod);
    m_processor = multiplexed;
}

SimSession::~SimSession() = default;

std::vector<SimOutput> SimSession::feed(const char* data, size_t size)
{
    std::vector<SimOutput> outputs;
    if (m_broken) {
        return outputs;
    }
    m_pending.append(data, int(size));

    while (m_pending.size() >= int(TSecurityTransport::LengthSize)) {
        const uint32_t length = readBigEndian32(m_pending);
        if (!TSecurityTransport::checkFrameLength(length, MaxFrameSize)) {
            m_broken = true;
            m_printer->countRejectedFrame();
            break;
        }
        const int frameSize = int(TSecurityTransport::LengthSize + length);
        if (m_pending.size() < frameSize) {
            break;
        }
        auto pipe = std::make_shared<FramePipe>(m_pending.left(frameSize));
        m_pending.remove(0, frameSize);

        auto frames = std::make_shared<TSecurityTransport>(pipe, channelCipher(), uint32_t(Sm4Cipher::KeySize), 1024u,
                                                           MaxFrameSize);
        auto protocol = std::make_shared<TBinaryProtocol>(frames, TSecurityTransport::ProtocolStringLimit,
                                                          TSecurityTransport::ProtocolContainerLimit, true, true);
        m_lastMethod->clear();
        try {
            m_processor->process(protocol, protocol, nullptr);
        } catch (const TTransportException&) {
            m_broken = true;
            m_printer->countRejectedFrame();
            break;
        } catch (const TException&) {
            // A request the processors could not take; they have written
            // an application exception, which is sent below.
        }
        outputs.push_back(applyFault(pipe->output(), *m_lastMethod));
        if (outputs.back().closeAfter) {
            m_broken = true;
            break;
        }
    }
    return outputs;
}

SimOutput SimSession::applyFault(const std::string& reply, const std::string& method) const
{
    const SimPrinterConfig config = m_printer->config();
    SimOutput output;
    output.bytes = QByteArray::fromStdString(reply);
    const bool applies = config.faultMethods.isEmpty() || config.faultMethods.contains(QString::fromStdString(method));
    if (!applies) {
        return output;
    }
    switch (config.fault) {
    case SimFault::None:
    case SimFault::BadToken: // answered by the printer itself
        break;
    case SimFault::Refuse:
        output.bytes.clear();
        output.closeAfter = true;
        break;
    case SimFault::Silent:
        output.bytes.clear();
        break;
    case SimFault::Delay:
        output.delayMs = config.delayMs;
        break;
    case SimFault::CloseMidFrame:
        output.bytes.truncate(output.bytes.size() / 2);
        output.closeAfter = true;
        break;
    case SimFault::Garbage: {
        // A plausible header over bytes that were never enciphered.
        QByteArray junk("\x00\x00\x00\x30", 4);
        for (int i = 0; i < 0x30; ++i) {
            junk.append(char(0xa5 ^ (i * 31)));
        }
        output.bytes = junk;
        break;
    }
    case SimFault::Oversized:
        output.bytes = QByteArray("\xff\xff\xff\xf0", 4);
        break;
    case SimFault::Dribble:
        // A valid length (an IV and 65537 blocks) whose body never completes.
        output.bytes = QByteArray("\x00\x10\x00\x20", 4);
        output.dribbleMs = qMax(1, config.delayMs);
        break;
    }
    return output;
}
