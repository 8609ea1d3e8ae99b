#ifndef PSM_EXPORTERSERVER_H
#define PSM_EXPORTERSERVER_H

#include "DiscoveryWorker.h"
#include "ProbeScheduler.h"
#include "TargetAllowList.h"

#include <QString>

#include <memory>
#include <mutex>
#include <set>

struct MHD_Daemon;

// printer-status --listen: the printers' metrics over HTTP for Prometheus,
// served by libmicrohttpd.
//
//   /probe?target=IPV4  polls that one printer (the multi-target pattern of
//                       the SNMP and blackbox exporters)
//   /metrics            polls every printer discovery finds
//
// libmicrohttpd's own thread reads and answers every connection with epoll,
// and bounds what a client can hold: an idle or slow connection is closed
// after IdleTimeoutSeconds, a request's headers may take ConnectionMemory
// bytes, and one address may hold half of the connections. A request that
// needs a poll is suspended until the poll's answer or its deadline comes;
// polls run on the ProbeScheduler and discovery passes on the
// DiscoveryWorker, so that no printer, print server or client holds up the
// other scrapes.
class ExporterServer
{
public:
    static constexpr quint16 DefaultPort = 9742;
    static constexpr int MaxProbes = 32;
    static constexpr unsigned IdleTimeoutSeconds = 15;
    static constexpr size_t ConnectionMemory = 32 * 1024;
    // A probe answers this long before Prometheus's own time-out, so that
    // the answer arrives in time; without the header it has DefaultDeadlineMs.
    static constexpr int DeadlineMarginMs = 500;
    static constexpr int DefaultDeadlineMs = 10000;

    struct Settings {
        quint32 address = 0x7f000001; // host byte order; 127.0.0.1
        quint16 port = DefaultPort; // 0: any free port
        TargetAllowList targets;
        int maxProbes = MaxProbes;
    };

    explicit ExporterServer(const Settings& settings);
    ~ExporterServer();

    bool start(QString* error);
    quint16 port() const { return m_port; }
    // Answers the requests still waiting, then closes every connection.
    void stop();

    // What to wait for, from the scrape's X-Prometheus-Scrape-Timeout-Seconds
    // value (null when absent).
    static int deadlineMs(const char* scrapeTimeout);

private:
    struct Exchange;
    struct Callbacks;
    using ExchangePtr = std::shared_ptr<Exchange>;

    int handle(const ExchangePtr& exchange, const char* url, const char* method);
    int startProbe(const ExchangePtr& exchange);
    int startMetrics(const ExchangePtr& exchange);
    void probeWithSnapshot(const ExchangePtr& exchange, const QString& target,
                           const DiscoveryWorker::Snapshot& snapshot);
    void pollForMetrics(const ExchangePtr& exchange, const DiscoveryWorker::Snapshot& snapshot);
    // Suspends the request until answer() is called.
    int suspend(const ExchangePtr& exchange);
    // From any thread, once per suspended request.
    void answer(const ExchangePtr& exchange, unsigned status, const QByteArray& body, bool metrics = false);

    Settings m_settings;
    MHD_Daemon* m_daemon = nullptr;
    quint16 m_port = 0;
    ProbeScheduler m_scheduler;
    DiscoveryWorker m_discovery;
    std::mutex m_suspendedLock;
    std::set<ExchangePtr> m_suspended;
};

#endif // PSM_EXPORTERSERVER_H
