#ifndef PSM_SIMSESSION_H
#define PSM_SIMSESSION_H

#include "SimScenario.h"

#include <QByteArray>

#include <memory>
#include <string>
#include <vector>

class SimPrinter;

namespace apache
{
namespace thrift
{
class TProcessor;
}
} // namespace apache

// What to send back for one request.
struct SimOutput {
    QByteArray bytes; // may be empty: nothing is sent
    int delayMs = 0; // send after this many milliseconds
    bool closeAfter = false; // close the link once the bytes are out
    int dribbleMs = 0; // then one more byte every so many milliseconds, for good
};

// The printer side of one connection (a TCP connection, or a USB link fed
// with bulk transfers): it takes the bytes received, cuts them into the
// enciphered frames, runs each request through the Thrift processors of the
// eight services and returns the enciphered replies, altered by the
// printer's fault mode. Not thread-safe; one session per connection.
class SimSession
{
public:
    static constexpr uint32_t MaxFrameSize = 8 * 1024 * 1024;

    explicit SimSession(std::shared_ptr<SimPrinter> printer);
    ~SimSession();

    // One entry per complete request in the bytes received so far.
    std::vector<SimOutput> feed(const char* data, size_t size);
    std::vector<SimOutput> feed(const QByteArray& data) { return feed(data.constData(), size_t(data.size())); }

    // True after a frame was rejected: the connection must be dropped.
    bool broken() const { return m_broken; }

private:
    SimOutput applyFault(const std::string& reply, const std::string& method) const;

    std::shared_ptr<SimPrinter> m_printer;
    std::shared_ptr<apache::thrift::TProcessor> m_processor;
    std::shared_ptr<std::string> m_lastMethod;
    QByteArray m_pending;
    bool m_broken = false;
};

#endif // PSM_SIMSESSION_H
