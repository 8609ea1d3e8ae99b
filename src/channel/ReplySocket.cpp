#include "channel/ReplySocket.h"

#include <thrift/transport/TTransportException.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransportException;

ReplySocket::ReplySocket(const std::string& host, int port, int connectTimeoutMs, int replyTimeoutMs)
    : TSocket(host, port)
    , m_replyTimeoutMs(replyTimeoutMs)
{
    setConnTimeout(connectTimeoutMs);
    setRecvTimeout(replyTimeoutMs);
}

ReplySocket::~ReplySocket()
{
    close();
}

void ReplySocket::open()
{
    {
        std::lock_guard<std::mutex> lock(m_wakeLock);
        // Checked under the lock that cut() takes: either cut() sees the new
        // descriptor and wakes it, or this sees the cut.
        if (isCut()) {
            throw TTransportException(TTransportException::INTERRUPTED, "connection cut");
        }
        if (m_wakeFd < 0) {
            m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        // TSocket polls this next to the socket in every read and throws
        // INTERRUPTED once it is readable.
        interruptListener_ = m_wakeFd >= 0 ? std::make_shared<THRIFT_SOCKET>(m_wakeFd) : nullptr;
    }
    m_replyStarted = false;
    try {
        TSocket::open();
    } catch (...) {
        closeWakeFd();
        throw;
    }
}

void ReplySocket::close()
{
    TSocket::close();
    closeWakeFd();
}

void ReplySocket::closeWakeFd()
{
    std::lock_guard<std::mutex> lock(m_wakeLock);
    interruptListener_.reset();
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
}

void ReplySocket::write(const uint8_t* buf, uint32_t len)
{
    m_replyStarted = false; // a new request: the next read waits for a new reply
    TSocket::write(buf, len);
}

uint32_t ReplySocket::read(uint8_t* buf, uint32_t len)
{
    if (isCut()) {
        throw TTransportException(TTransportException::INTERRUPTED, "connection cut");
    }
    const Clock::time_point now = Clock::now();
    if (!m_replyStarted) {
        m_replyStarted = true;
        m_replyDeadline = now + std::chrono::milliseconds(m_replyTimeoutMs);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_replyDeadline - now).count();
    if (left <= 0) {
        throw TTransportException(TTransportException::TIMED_OUT, "no complete reply within the receive time-out");
    }
    setRecvTimeout(static_cast<int>(left));
    return TSocket::read(buf, len);
}

void ReplySocket::cut()
{
    std::lock_guard<std::mutex> lock(m_wakeLock);
    m_cut.store(true);
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
        (void)written; // a full counter is still readable
    }
}
