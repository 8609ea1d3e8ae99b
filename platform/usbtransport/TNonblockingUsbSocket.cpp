#include "usbtransport/TNonblockingUsbSocket.h"

#include <thrift/TConfiguration.h>
#include <thrift/transport/TTransportException.h>

#include <chrono>
#include <cstdio>

namespace apache
{
namespace thrift
{
namespace transport
{

TNonblockingUsbSocket::TNonblockingUsbSocket(std::shared_ptr<TLibusbDevice> device, int readTimeoutMs,
                                             int writeTimeoutMs, uint32_t maxMessageSize)
    : TVirtualTransport(std::make_shared<TConfiguration>(int(maxMessageSize)))
    , m_device(std::move(device))
    , m_readTimeoutMs(readTimeoutMs)
    , m_writeTimeoutMs(writeTimeoutMs)
    , m_maxMessageSize(maxMessageSize)
{
}

TNonblockingUsbSocket::~TNonblockingUsbSocket() = default;

bool TNonblockingUsbSocket::isOpen() const
{
    return m_device && m_device->isOpen();
}

bool TNonblockingUsbSocket::peek()
{
    return isOpen();
}

void TNonblockingUsbSocket::open()
{
    if (!m_device)
        throw TTransportException(TTransportException::NOT_OPEN, "no USB device");
    m_device->open();
    m_message.clear();
    resetConsumedMessageSize();
}

void TNonblockingUsbSocket::close()
{
    m_message.clear();
    if (m_device)
        m_device->close();
}

uint32_t TNonblockingUsbSocket::read(uint8_t* buf, uint32_t len)
{
    if (!isOpen())
        throw TTransportException(TTransportException::NOT_OPEN, "USB link is not open");
    if (len == 0)
        return 0;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_readTimeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (m_device->buffered() == 0 && left <= 0)
            throw TTransportException(TTransportException::TIMED_OUT, "USB read timed out");
        const uint32_t n = m_device->read(buf, len, left > 0 ? int(left) : 0);
        if (n > 0) {
            countConsumedMessageBytes(n);
            return n;
        }
    }
}

void TNonblockingUsbSocket::write(const uint8_t* buf, uint32_t len)
{
    if (!isOpen())
        throw TTransportException(TTransportException::NOT_OPEN, "USB link is not open");
    if (uint64_t(m_message.size()) + len > m_maxMessageSize) {
        m_message.clear();
        throw TTransportException(TTransportException::END_OF_FILE, "MaxMessageSize reached");
    }
    m_message.insert(m_message.end(), buf, buf + len);
}

void TNonblockingUsbSocket::flush()
{
    if (m_message.empty())
        return;
    if (!isOpen()) {
        m_message.clear();
        throw TTransportException(TTransportException::NOT_OPEN, "USB link is not open");
    }
    std::vector<uint8_t> message;
    message.swap(m_message);
    // A new request: its reply may again be as large as the limit.
    resetConsumedMessageSize();
    const uint32_t sent = m_device->write(message.data(), uint32_t(message.size()), m_writeTimeoutMs);
    if (sent < message.size())
        throw TTransportException(TTransportException::TIMED_OUT,
                                  "USB write timed out after " + std::to_string(sent) + " of "
                                      + std::to_string(message.size()) + " bytes");
}

const std::string TNonblockingUsbSocket::getOrigin() const
{
    if (!m_device)
        return "usb";
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", m_device->vendorId(), m_device->productId());
    return std::string("usb:") + ids + ":" + m_device->serial();
}

} // namespace transport
} // namespace thrift
} // namespace apache
