#ifndef PSM_SIMPRINTER_H
#define PSM_SIMPRINTER_H

#include "SimScenario.h"

#include <QMap>
#include <QMutex>
#include <QString>

#include <deque>
#include <string>

namespace ks
{
namespace rpc
{
namespace model
{
class RequestContext;
class ResponseContext;
} // namespace model
} // namespace rpc
} // namespace ks

// The state of one simulated printer and its answers to the management
// services. Thread-safe: connections of one printer may be served on several
// threads, and the scenario may change under them.
class SimPrinter
{
public:
    // Result codes the printer gives besides 0.
    static constexpr int BadCredentials = 2;
    static constexpr int BadToken = 3;
    static constexpr int BadArgument = 4;

    explicit SimPrinter(const SimPrinterConfig& config);

    SimPrinterConfig config() const;
    void setConfig(const SimPrinterConfig& config);

    // Answers one request that arrived under the multiplexed serviceName.
    // Returns the method's name (empty when the request named no method of
    // that service, in which case the reply stays empty).
    std::string handle(const std::string& serviceName, ks::rpc::model::ResponseContext& reply,
                       const ks::rpc::model::RequestContext& request);

    struct Stats {
        int connections = 0;
        int rejectedFrames = 0;
        QMap<QString, int> requests; // by method name
        int totalRequests() const;
    };
    Stats stats() const;
    void resetStats();
    void countConnection();
    void countRejectedFrame();

private:
    // The reply to a request under serviceName; returns the method's name.
    std::string dispatch(const std::string& serviceName, ks::rpc::model::ResponseContext& reply,
                         const ks::rpc::model::RequestContext& request);
    // Fills the response to one method's Args; the methods whose answers
    // depend on the printer's state have their own specialisation.
    template <class Args, class Response> void answer(const Args& args, Response& response);

    std::string issueToken();
    bool tokenValid(const std::string& token) const;
    // Whether method refuses the token: unknown, or refused by the fault mode.
    bool tokenRefused(const char* method, const std::string& token) const;

    mutable QMutex m_mutex;
    SimPrinterConfig m_config;
    Stats m_stats;
    std::deque<std::string> m_tokens; // most recent last
    unsigned m_nextToken = 1;
};

// The password the printer expects for "defaultUser" unless the scenario
// names another one.
std::string simDefaultPassword();

#endif // PSM_SIMPRINTER_H
