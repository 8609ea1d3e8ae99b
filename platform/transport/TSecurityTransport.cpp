#include "transport/TSecurityTransport.h"

#include <thrift/TConfiguration.h>

#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>

namespace apache
{
namespace thrift
{
namespace transport
{

namespace
{

// A buffer that grew beyond this for a large frame is given back before the
// next frame, so one large message does not pin its memory.
constexpr size_t KeptCapacity = 1024 * 1024;

std::shared_ptr<TConfiguration> configurationFor(uint32_t maxFrameSize)
{
    // Thrift's own message-size bookkeeping must not be tighter than our frames.
    const int limit = static_cast<int>(std::min<uint32_t>(maxFrameSize, INT_MAX));
    return std::make_shared<TConfiguration>(limit, limit);
}

uint32_t readBigEndian32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void writeBigEndian32(uint32_t value, uint8_t* p)
{
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

} // namespace

TSecurityTransport::TSecurityTransport(std::shared_ptr<TTransport> transport, std::shared_ptr<Sm4Cipher> cipher,
                                       uint32_t keyLength, uint32_t bufferSize, uint32_t maxFrameSize)
    : TVirtualTransport(configurationFor(maxFrameSize))
    , m_transport(std::move(transport))
    , m_cipher(std::move(cipher))
    , m_keyLength(keyLength)
    , m_bufferSize(std::max<uint32_t>(bufferSize, HeaderSize + Sm4Cipher::BlockSize))
    , m_maxFrameSize(maxFrameSize)
{
    m_readBuffer.reserve(m_bufferSize);
    m_writeBuffer.reserve(m_bufferSize);
    resetWriteBuffer();
}

TSecurityTransport::~TSecurityTransport() = default;

bool TSecurityTransport::isOpen() const
{
    return m_transport && m_transport->isOpen();
}

bool TSecurityTransport::peek()
{
    return available() > 0 || (m_transport && m_transport->peek());
}

void TSecurityTransport::open()
{
    if (!m_transport) {
        throw TTransportException(TTransportException::NOT_OPEN, "security transport has no inner transport");
    }
    if (!m_cipher || !m_cipher->isValid() || m_keyLength != m_cipher->keyLength()) {
        throw TTransportException(TTransportException::BAD_ARGS, "security transport has no usable SM4 key");
    }
    m_readPos = m_readEnd = 0;
    resetWriteBuffer();
    if (!m_transport->isOpen()) {
        m_transport->open();
    }
}

void TSecurityTransport::close()
{
    m_readPos = m_readEnd = 0;
    resetWriteBuffer();
    if (m_transport) {
        m_transport->close();
    }
}

bool TSecurityTransport::checkFrameLength(uint32_t length, uint32_t maxFrameSize, std::string* why)
{
    std::string reason;
    if (length > maxFrameSize) {
        reason = "frame length " + std::to_string(length) + " exceeds the maximum " + std::to_string(maxFrameSize);
    } else if (length < MinFrameLength || (length - IvSize) % Sm4Cipher::BlockSize != 0) {
        reason = "frame length " + std::to_string(length) + " is not an IV followed by whole cipher blocks";
    }
    if (why) {
        *why = reason;
    }
    return reason.empty();
}

void TSecurityTransport::readInner(uint8_t* buf, uint32_t len)
{
    m_transport->readAll(buf, len);
}

void TSecurityTransport::readFrame()
{
    if (!m_cipher || !m_cipher->isValid()) {
        throw TTransportException(TTransportException::BAD_ARGS, "security transport has no usable SM4 key");
    }
    uint8_t header[LengthSize];
    readInner(header, LengthSize);
    const uint32_t length = readBigEndian32(header);
    std::string why;
    if (!checkFrameLength(length, m_maxFrameSize, &why)) {
        throw TTransportException(TTransportException::CORRUPTED_DATA, why);
    }

    if (m_readBuffer.capacity() > KeptCapacity) {
        std::vector<uint8_t>().swap(m_readBuffer);
    }
    m_readPos = m_readEnd = 0;
    // Grow with what actually arrives rather than with what was announced.
    size_t have = 0;
    m_readBuffer.clear();
    while (have < length) {
        const size_t chunk = std::min<size_t>(length - have, std::max<size_t>(have, m_bufferSize));
        m_readBuffer.resize(have + chunk);
        readInner(m_readBuffer.data() + have, static_cast<uint32_t>(chunk));
        have += chunk;
    }

    uint8_t* body = m_readBuffer.data() + IvSize;
    const uint32_t bodyLength = length - IvSize;
    if (!m_cipher->decryptCbc(m_readBuffer.data(), body, bodyLength, body)) {
        throw TTransportException(TTransportException::CORRUPTED_DATA, "frame could not be deciphered");
    }
    const uint8_t padding = body[bodyLength - 1];
    bool paddingOk = padding >= 1 && padding <= Sm4Cipher::BlockSize;
    for (uint32_t i = 1; paddingOk && i <= padding; ++i) {
        paddingOk = body[bodyLength - i] == padding;
    }
    if (!paddingOk) {
        throw TTransportException(TTransportException::CORRUPTED_DATA, "frame has a wrong padding");
    }

    m_readPos = IvSize;
    m_readEnd = length - padding;
    resetConsumedMessageSize();
    updateKnownMessageSize(available());
}

uint32_t TSecurityTransport::read(uint8_t* buf, uint32_t len)
{
    if (len == 0) {
        return 0;
    }
    if (available() == 0) {
        readFrame();
    }
    const uint32_t give = std::min(len, available());
    std::memcpy(buf, m_readBuffer.data() + m_readPos, give);
    m_readPos += give;
    countConsumedMessageBytes(give);
    releaseSpentFrame();
    return give;
}

void TSecurityTransport::releaseSpentFrame()
{
    // A large frame read to its end is not kept until the next one, which
    // for a printer polled once a minute is a minute away.
    if (available() == 0 && m_readBuffer.capacity() > KeptCapacity) {
        std::vector<uint8_t>().swap(m_readBuffer);
        m_readPos = m_readEnd = 0;
    }
}

const uint8_t* TSecurityTransport::borrow(uint8_t* /*buf*/, uint32_t* len)
{
    if (available() == 0 || *len > available()) {
        return nullptr;
    }
    *len = available();
    return m_readBuffer.data() + m_readPos;
}

void TSecurityTransport::consume(uint32_t len)
{
    if (len > available()) {
        throw TTransportException(TTransportException::BAD_ARGS, "consume did not follow a borrow");
    }
    m_readPos += len;
    countConsumedMessageBytes(len);
    releaseSpentFrame();
}

void TSecurityTransport::write(const uint8_t* buf, uint32_t len)
{
    // The frame must stay within the maximum once padded.
    const size_t payload = m_writeBuffer.size() - HeaderSize;
    const size_t padded = (payload + len) / Sm4Cipher::BlockSize * Sm4Cipher::BlockSize + Sm4Cipher::BlockSize;
    if (IvSize + padded > m_maxFrameSize) {
        resetWriteBuffer();
        throw TTransportException(TTransportException::BAD_ARGS,
                                  "message exceeds the maximum frame size " + std::to_string(m_maxFrameSize));
    }
    m_writeBuffer.insert(m_writeBuffer.end(), buf, buf + len);
}

void TSecurityTransport::flush()
{
    if (m_writeBuffer.size() == HeaderSize) {
        m_transport->flush();
        return;
    }
    // Whatever happens below, the next message starts from an empty buffer.
    struct ResetOnExit {
        TSecurityTransport& transport;
        ~ResetOnExit() { transport.resetWriteBuffer(); }
    } reset{ *this };

    const size_t payload = m_writeBuffer.size() - HeaderSize;
    const uint8_t padding = static_cast<uint8_t>(Sm4Cipher::BlockSize - payload % Sm4Cipher::BlockSize);
    m_writeBuffer.insert(m_writeBuffer.end(), padding, padding);
    const size_t bodyLength = m_writeBuffer.size() - HeaderSize;

    uint8_t* iv = m_writeBuffer.data() + LengthSize;
    uint8_t* body = m_writeBuffer.data() + HeaderSize;
    if (RAND_bytes(iv, IvSize) != 1 || !m_cipher || !m_cipher->encryptCbc(iv, body, bodyLength, body)) {
        throw TTransportException(TTransportException::INTERNAL_ERROR, "frame could not be enciphered");
    }
    writeBigEndian32(static_cast<uint32_t>(IvSize + bodyLength), m_writeBuffer.data());
    m_transport->write(m_writeBuffer.data(), static_cast<uint32_t>(m_writeBuffer.size()));
    m_transport->flush();
}

void TSecurityTransport::resetWriteBuffer()
{
    if (m_writeBuffer.capacity() > KeptCapacity) {
        std::vector<uint8_t>().swap(m_writeBuffer);
        m_writeBuffer.reserve(m_bufferSize);
    }
    m_writeBuffer.assign(HeaderSize, 0);
}

TNonblockingSecurityTransport::TNonblockingSecurityTransport(std::shared_ptr<TTransport> transport,
                                                             std::shared_ptr<Sm4Cipher> cipher, uint32_t keyLength,
                                                             uint32_t bufferSize, uint32_t maxFrameSize)
    : TSecurityTransport(std::move(transport), std::move(cipher), keyLength, bufferSize, maxFrameSize)
{
}

void TNonblockingSecurityTransport::readInner(uint8_t* buf, uint32_t len)
{
    using Clock = std::chrono::steady_clock;
    uint32_t have = 0;
    Clock::time_point lastData = Clock::now();
    while (have < len) {
        const uint32_t got = m_transport->read(buf + have, len - have);
        if (got > 0) {
            have += got;
            lastData = Clock::now();
            continue;
        }
        if (!m_transport->isOpen()) {
            throw TTransportException(TTransportException::END_OF_FILE, "inner transport closed inside a frame");
        }
        if (Clock::now() - lastData >= m_idleTimeout) {
            throw TTransportException(TTransportException::TIMED_OUT, "no frame data within the idle time-out");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace transport
} // namespace thrift
} // namespace apache
