#ifndef PSM_REPLYSOCKET_H
#define PSM_REPLYSOCKET_H

#include <thrift/transport/TSocket.h>

#include <atomic>
#include <chrono>
#include <mutex>

// A Thrift TCP socket with two additions the poller needs:
// - the receive time-out bounds a whole reply, not each read: the clock
//   starts at the first read after a write, so a peer that trickles a frame
//   byte by byte still fails once the time is up;
// - another thread can cut it: reads and later opens fail at once. The cut
//   goes through a wake-up descriptor that TSocket polls next to the socket,
//   so the socket itself is only ever touched by the thread using it. The
//   wake-up descriptor exists only while the socket is open: a connector
//   kept for an idle printer holds no descriptor, so a fleet of a thousand
//   printers fits in the usual limit of 1,024.
class ReplySocket : public apache::thrift::transport::TSocket
{
public:
    ReplySocket(const std::string& host, int port, int connectTimeoutMs, int replyTimeoutMs);
    ~ReplySocket() override;

    void open() override;
    void close() override;
    uint32_t read(uint8_t* buf, uint32_t len) override;
    void write(const uint8_t* buf, uint32_t len) override;

    // Thread-safe; permanent for this socket.
    void cut();
    bool isCut() const { return m_cut.load(); }

private:
    using Clock = std::chrono::steady_clock;

    void closeWakeFd();

    // Guards m_wakeFd between the socket's thread (open, close) and cut().
    std::mutex m_wakeLock;
    int m_wakeFd = -1;
    std::atomic<bool> m_cut{ false };
    const int m_replyTimeoutMs;
    bool m_replyStarted = false;
    Clock::time_point m_replyDeadline;
};

#endif // PSM_REPLYSOCKET_H
