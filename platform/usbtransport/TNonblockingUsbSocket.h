#ifndef KS_TNONBLOCKINGUSBSOCKET_H
#define KS_TNONBLOCKINGUSBSOCKET_H

#include "usbtransport/TLibusbDevice.h"

#include <thrift/transport/TVirtualTransport.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace apache
{
namespace thrift
{
namespace transport
{

// A Thrift transport over a TLibusbDevice, shaped like a socket: open() and
// close() open and close the USB link, read() returns what has arrived and
// write() collects a message that flush() sends in one go.
//
// Time-outs: a read waits at most the read time-out for the first byte and
// then fails with TIMED_OUT; a flush fails with TIMED_OUT when the device has
// not taken the whole message within the write time-out. Neither closes the
// link: that is the owner's decision.
//
// Message size: a message written between two flushes, and the bytes read
// back after a flush, may not exceed maxMessageSize; beyond it the transport
// fails with END_OF_FILE ("MaxMessageSize reached"), as Thrift's own
// transports do, and the written message is dropped.
//
// After a failed flush the unsent message is dropped, so that a later call
// does not send the rest of an old request.
class TNonblockingUsbSocket : public TVirtualTransport<TNonblockingUsbSocket>
{
public:
    TNonblockingUsbSocket(std::shared_ptr<TLibusbDevice> device, int readTimeoutMs, int writeTimeoutMs,
                          uint32_t maxMessageSize);
    ~TNonblockingUsbSocket() override;

    bool isOpen() const override;
    bool peek() override;
    void open() override;
    void close() override;

    uint32_t read(uint8_t* buf, uint32_t len);
    void write(const uint8_t* buf, uint32_t len);
    void flush() override;

    const std::string getOrigin() const override;

    std::shared_ptr<TLibusbDevice> device() const { return m_device; }
    int readTimeout() const { return m_readTimeoutMs; }
    int writeTimeout() const { return m_writeTimeoutMs; }
    uint32_t maxMessageSize() const { return m_maxMessageSize; }

private:
    std::shared_ptr<TLibusbDevice> m_device;
    int m_readTimeoutMs;
    int m_writeTimeoutMs;
    uint32_t m_maxMessageSize;
    std::vector<uint8_t> m_message;
};

} // namespace transport
} // namespace thrift
} // namespace apache

#endif // KS_TNONBLOCKINGUSBSOCKET_H
