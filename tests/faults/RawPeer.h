#ifndef PSM_TEST_RAWPEER_H
#define PSM_TEST_RAWPEER_H

#include "SimScenario.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class SimPrinter;

// A printer on a real TCP socket whose replies (those of the simulated
// printer) reach the wire exactly as a script says: split in two writes at a
// given offset, dribbled in small pieces, late, never, cut by a reset or a
// close, or with the printer gone from the network after a connection.
// Connections are served on threads of their own, with TCP_NODELAY so that
// every write leaves as a segment of its own.
class RawPeer
{
public:
    enum class Fault {
        None,
        Split, // two writes, the first of `value` bytes
        Dribble, // writes of `value` bytes each
        Delay, // the reply after `value` ms
        Silent, // read the request, never answer
        Reset, // `value` bytes of the reply (-1: half, -2: all but one), then a reset (RST)
        Close, // as Reset, but an orderly close (FIN)
        Vanish, // answer, then stop listening: later connections are refused
    };

    struct Script {
        Fault fault = Fault::None;
        int value = 0;
        // The connection the fault applies to, counted from 1 since the
        // script was set; 0: every connection.
        int connection = 0;
        int pauseMs = 2; // between the pieces of a split or dribbled reply
    };

    RawPeer(const QString& address, int port, const SimPrinterConfig& printer);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool start(QString* error);
    // Takes effect for the next connection; listens again after Vanish.
    void setScript(const Script& script);

    int connections() const { return m_connections.load(); }
    int largestReply() const { return m_largestReply.load(); }

private:
    bool listenNow(QString* error);
    void acceptLoop();
    void serve(int fd, Script script, bool faulty);
    bool sendReply(int fd, const QByteArray& reply, const Script& script, bool faulty);
    bool waitQuit(int ms) const;

    QString m_address;
    int m_port;
    std::shared_ptr<SimPrinter> m_printer;

    std::mutex m_lock; // guards the fields below
    Script m_script;
    int m_listenFd = -1;
    bool m_relisten = false;
    std::vector<int> m_openFds;
    std::vector<std::thread> m_threads;

    std::atomic<bool> m_quit{ false };
    std::atomic<int> m_connections{ 0 };
    std::atomic<int> m_largestReply{ 0 };
    std::thread m_acceptor;
};

#endif // PSM_TEST_RAWPEER_H
