#ifndef KS_TSECURITYTRANSPORT_H
#define KS_TSECURITYTRANSPORT_H

#include "sm4/Sm4Cipher.h"

#include <thrift/transport/TVirtualTransport.h>

#include <chrono>
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

// A framed transport whose frames are enciphered with SM4. Everything written
// between two flushes becomes one frame; the peer reads it back as one unit.
//
// Frame layout (integers big-endian):
//
//   offset  size  content
//   0       4     N: the number of bytes that follow
//   4       16    IV: a fresh random initial vector for this frame
//   20      N-16  SM4-CBC(key, IV, payload || padding)
//
// The padding follows PKCS#7: 1 to 16 bytes, each holding the padding length,
// always present, so N - 16 is a positive multiple of 16 and N >= 32.
// A frame is rejected with TTransportException::CORRUPTED_DATA, before any
// byte of it is handed to the reader, when N exceeds the maximum frame size,
// when N - 16 is not a positive multiple of the block size, or when the
// padding is wrong. The body is read in growing chunks as it arrives, so a
// peer announcing a large N without sending it costs no memory. There is no
// message authentication: the key is shared by every device of the family.
//
// The write buffer starts with a 4-byte length placeholder and the IV slot,
// so a flush enciphers the payload in place and sends the frame in one write.
class TSecurityTransport : public TVirtualTransport<TSecurityTransport>
{
public:
    static constexpr uint32_t LengthSize = 4;
    static constexpr uint32_t IvSize = Sm4Cipher::BlockSize;
    static constexpr uint32_t HeaderSize = LengthSize + IvSize;
    static constexpr uint32_t MinFrameLength = IvSize + Sm4Cipher::BlockSize;

    // Limits to give a TBinaryProtocol that reads from this transport:
    // Thrift allocates a declared string length before reading the string.
    static constexpr int32_t ProtocolStringLimit = 16 * 1024 * 1024;
    static constexpr int32_t ProtocolContainerLimit = 1024 * 1024;

    // keyLength must equal the cipher's key length (16); bufferSize is the
    // initial size of the read and write buffers; maxFrameSize bounds N.
    TSecurityTransport(std::shared_ptr<TTransport> transport, std::shared_ptr<Sm4Cipher> cipher, uint32_t keyLength,
                       uint32_t bufferSize, uint32_t maxFrameSize);
    ~TSecurityTransport() override;

    bool isOpen() const override;
    bool peek() override;
    // Fails (TTransportException) when the cipher is unusable or the key
    // length does not match it; opens the inner transport unless it is open.
    void open() override;
    void close() override;

    uint32_t read(uint8_t* buf, uint32_t len);
    void write(const uint8_t* buf, uint32_t len);
    void flush() override;
    const uint8_t* borrow(uint8_t* buf, uint32_t* len);
    void consume(uint32_t len);

    std::shared_ptr<TTransport> getUnderlyingTransport() const { return m_transport; }
    uint32_t maxFrameSize() const { return m_maxFrameSize; }

    // Whether a received N is acceptable; why receives the reason if not.
    static bool checkFrameLength(uint32_t length, uint32_t maxFrameSize, std::string* why = nullptr);

protected:
    // Reads exactly len bytes from the inner transport or throws.
    virtual void readInner(uint8_t* buf, uint32_t len);

    std::shared_ptr<TTransport> m_transport;

private:
    void readFrame();
    void resetWriteBuffer();
    uint32_t available() const { return m_readEnd - m_readPos; }
    void releaseSpentFrame();

    std::shared_ptr<Sm4Cipher> m_cipher;
    uint32_t m_keyLength;
    uint32_t m_bufferSize;
    uint32_t m_maxFrameSize;

    std::vector<uint8_t> m_readBuffer; // IV followed by the deciphered payload and padding
    uint32_t m_readPos = 0;
    uint32_t m_readEnd = 0;
    std::vector<uint8_t> m_writeBuffer; // placeholder, IV slot, payload
};

// The same frames over an inner transport that hands out data in pieces as
// they arrive (USB bulk transfers): a read that returns fewer bytes than asked,
// or none, is repeated until the frame is complete. The read gives up with
// TIMED_OUT when no byte arrived for the idle time-out (10000 ms unless set),
// and with END_OF_FILE when the inner transport closed.
class TNonblockingSecurityTransport : public TSecurityTransport
{
public:
    TNonblockingSecurityTransport(std::shared_ptr<TTransport> transport, std::shared_ptr<Sm4Cipher> cipher,
                                  uint32_t keyLength, uint32_t bufferSize, uint32_t maxFrameSize);

    void setIdleTimeout(std::chrono::milliseconds timeout) { m_idleTimeout = timeout; }
    std::chrono::milliseconds idleTimeout() const { return m_idleTimeout; }

protected:
    void readInner(uint8_t* buf, uint32_t len) override;

private:
    std::chrono::milliseconds m_idleTimeout{ 10000 };
};

} // namespace transport
} // namespace thrift
} // namespace apache

#endif // KS_TSECURITYTRANSPORT_H
