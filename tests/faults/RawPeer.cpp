#include "RawPeer.h"

#include "SimPrinter.h"
#include "SimSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace
{
constexpr int TickMs = 20;

void setInt(int fd, int level, int option, int value)
{
    ::setsockopt(fd, level, option, &value, sizeof value);
}
} // namespace

RawPeer::RawPeer(const QString& address, int port, const SimPrinterConfig& printer)
    : m_address(address)
    , m_port(port)
    , m_printer(std::make_shared<SimPrinter>(printer))
{
}

RawPeer::~RawPeer()
{
    m_quit = true;
    if (m_acceptor.joinable()) {
        m_acceptor.join();
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> locker(m_lock);
        for (int fd : m_openFds) {
            ::shutdown(fd, SHUT_RDWR);
        }
        threads.swap(m_threads);
        if (m_listenFd >= 0) {
            ::close(m_listenFd);
            m_listenFd = -1;
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

bool RawPeer::start(QString* error)
{
    if (!listenNow(error)) {
        return false;
    }
    m_acceptor = std::thread([this] { acceptLoop(); });
    return true;
}

bool RawPeer::listenNow(QString* error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setInt(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(m_port));
    ::inet_pton(AF_INET, m_address.toLatin1().constData(), &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        if (error) {
            *error
                = QStringLiteral("%1:%2: %3").arg(m_address).arg(m_port).arg(QString::fromLocal8Bit(strerror(errno)));
        }
        ::close(fd);
        return false;
    }
    std::lock_guard<std::mutex> locker(m_lock);
    m_listenFd = fd;
    return true;
}

void RawPeer::setScript(const Script& script)
{
    std::lock_guard<std::mutex> locker(m_lock);
    m_script = script;
    m_connections = 0;
    m_relisten = m_listenFd < 0;
}

bool RawPeer::waitQuit(int ms) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (m_quit) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
    }
    return m_quit;
}

void RawPeer::acceptLoop()
{
    while (!m_quit) {
        int listenFd = -1;
        bool relisten = false;
        {
            std::lock_guard<std::mutex> locker(m_lock);
            listenFd = m_listenFd;
            relisten = m_relisten;
            m_relisten = false;
        }
        if (listenFd < 0) {
            if (!relisten || !listenNow(nullptr)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(TickMs));
            }
            continue;
        }
        pollfd p{ listenFd, POLLIN, 0 };
        if (::poll(&p, 1, TickMs) <= 0) {
            continue;
        }
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        setInt(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        const int number = ++m_connections;
        std::lock_guard<std::mutex> locker(m_lock);
        const Script script = m_script;
        const bool faulty = script.connection == 0 || script.connection == number;
        if (faulty && script.fault == Fault::Vanish) {
            // Gone from the network: the next connection attempt is refused.
            ::close(m_listenFd);
            m_listenFd = -1;
        }
        m_openFds.push_back(fd);
        m_threads.emplace_back([this, fd, script, faulty] { serve(fd, script, faulty); });
    }
}

void RawPeer::serve(int fd, Script script, bool faulty)
{
    SimSession session(m_printer);
    bool open = true;
    while (open && !m_quit) {
        pollfd p{ fd, POLLIN, 0 };
        if (::poll(&p, 1, TickMs) <= 0) {
            continue;
        }
        char buf[4096];
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got <= 0) {
            break;
        }
        for (const SimOutput& output : session.feed(buf, size_t(got))) {
            m_largestReply = std::max(m_largestReply.load(), int(output.bytes.size()));
            if (!sendReply(fd, output.bytes, script, faulty)) {
                open = false;
                break;
            }
        }
    }
    std::lock_guard<std::mutex> locker(m_lock);
    m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
    if (fd >= 0) {
        ::close(fd);
    }
}

// False when the connection is finished (closed or reset here).
bool RawPeer::sendReply(int fd, const QByteArray& reply, const Script& script, bool faulty)
{
    const auto sendRange = [fd](const QByteArray& bytes, int from, int count) {
        int sent = 0;
        while (sent < count) {
            const ssize_t n = ::send(fd, bytes.constData() + from + sent, size_t(count - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            sent += int(n);
        }
        return true;
    };
    const int size = reply.size();
    const Fault fault = faulty ? script.fault : Fault::None;
    switch (fault) {
    case Fault::None:
    case Fault::Vanish:
        return sendRange(reply, 0, size);
    case Fault::Split: {
        const int first = std::clamp(script.value, 0, size);
        if (!sendRange(reply, 0, first) || waitQuit(script.pauseMs)) {
            return false;
        }
        return sendRange(reply, first, size - first);
    }
    case Fault::Dribble:
        for (int at = 0; at < size; at += script.value) {
            if ((at > 0 && waitQuit(script.pauseMs)) || !sendRange(reply, at, std::min(script.value, size - at))) {
                return false;
            }
        }
        return true;
    case Fault::Delay:
        if (waitQuit(script.value)) {
            return false;
        }
        // The caller may have given up meanwhile; whatever happens is fine.
        sendRange(reply, 0, size);
        return true;
    case Fault::Silent:
        return true;
    case Fault::Reset:
    case Fault::Close: {
        // -1: half of the reply, -2: all of it but the last byte.
        const int cut = script.value >= 0 ? std::min(script.value, size) : script.value == -1 ? size / 2 : size - 1;
        sendRange(reply, 0, cut);
        waitQuit(script.pauseMs);
        if (fault == Fault::Reset) {
            const linger abortive{ 1, 0 };
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        return false;
    }
    }
    return true;
}
