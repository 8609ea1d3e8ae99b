#include "ExporterServer.h"

#include "PrinterPoll.h"
#include "PrometheusText.h"
#include "channel/ConnectorRegistry.h"
#include "core/Log.h"
#include "core/PrinterRegistry.h"

#include <QDateTime>
#include <QVector>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{
using Clock = ProbeScheduler::Clock;

const char* const MetricsType = "text/plain; version=0.0.4; charset=utf-8";
const char* const TextType = "text/plain; charset=utf-8";

// How old a discovery pass may be: a probe only asks which queue uses its
// target, /metrics wants the queues of now.
constexpr std::chrono::seconds ProbeDiscoveryAge(5);
constexpr std::chrono::seconds MetricsDiscoveryAge(1);
// Prometheus's own limit of a scrape's time-out is its interval; beyond
// this, a poll would long have hit the channel's own time-outs.
constexpr double MaxDeadlineSeconds = 120;

// Descriptors kept back from connections: the polls' sockets and wake-up
// descriptors, discovery, libraries.
constexpr rlim_t ReservedDescriptors = 64;
constexpr unsigned MaxConnections = 4096;

unsigned connectionLimit(int maxProbes)
{
    rlimit limit{};
    const rlim_t soft = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    const rlim_t reserved = ReservedDescriptors + 2 * rlim_t(maxProbes);
    return soft > reserved + 16 ? unsigned(std::min<rlim_t>(soft - reserved, MaxConnections)) : 16;
}

// Cuts the calls in flight of the printer registered under key.
void cutPrinter(const QString& key)
{
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(key);
    if (printer->printerName() == key) {
        cutConnectors(printer);
    }
}

// What is known of a printer whose poll did not end in time: no report.
PrinterResult unanswered(const QString& key, const QString& shownName, const QString& address, double seconds)
{
    PrinterResult result;
    result.pollSeconds = seconds;
    result.name = shownName;
    result.address = address;
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(key);
    if (printer->printerName() == key) {
        result.usb = printer->isUSB();
        result.address = result.usb ? QString() : printer->ip();
        result.model = printer->model();
        result.deviceId = printer->deviceId();
    }
    return result;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

MHD_Result respond(MHD_Connection* connection, unsigned status, const QByteArray& body, const char* type)
{
    MHD_Response* response = MHD_create_response_from_buffer(size_t(body.size()), const_cast<char*>(body.constData()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (!response) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result respondText(MHD_Connection* connection, unsigned status, const QString& text)
{
    return respond(connection, status, text.toUtf8(), TextType);
}
} // namespace

struct ExporterServer::Exchange {
    MHD_Connection* connection = nullptr;
    const Clock::time_point started = Clock::now();
    Clock::time_point deadline;
    std::mutex lock;
    bool answered = false;
    unsigned status = 0;
    QByteArray body;
    bool metrics = false;
    // /metrics: one result per printer found, filled as the polls end.
    QStringList names;
    QVector<PrinterResult> results;
    int pending = 0;
    QDateTime when;
};

// libmicrohttpd's callbacks, on its own thread.
struct ExporterServer::Callbacks {
    static MHD_Result onRequest(void* server, MHD_Connection* connection, const char* url, const char* method,
                                const char*, const char*, size_t* uploadSize, void** context)
    {
        auto* holder = static_cast<ExchangePtr*>(*context);
        if (!holder) {
            // Headers only so far; the next call brings the body, if any.
            holder = new ExchangePtr(std::make_shared<Exchange>());
            (*holder)->connection = connection;
            *context = holder;
            return MHD_YES;
        }
        if (*uploadSize != 0) {
            *uploadSize = 0; // a body means nothing here: read and dropped
            return MHD_YES;
        }
        return MHD_Result(static_cast<ExporterServer*>(server)->handle(*holder, url, method));
    }

    static void onCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode)
    {
        delete static_cast<ExchangePtr*>(*context);
        *context = nullptr;
    }

    static void onLog(void*, const char* format, va_list args)
    {
        char line[512];
        std::vsnprintf(line, sizeof line, format, args);
        ::logLine("libmicrohttpd") << QString::fromLocal8Bit(line).trimmed();
    }
};

ExporterServer::ExporterServer(const Settings& settings)
    : m_settings(settings)
    , m_scheduler(settings.maxProbes)
{
}

ExporterServer::~ExporterServer()
{
    stop();
}

bool ExporterServer::start(QString* error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_settings.port);
    address.sin_addr.s_addr = htonl(m_settings.address);
    const unsigned connections = connectionLimit(m_settings.maxProbes);
    m_daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, m_settings.port, nullptr, nullptr,
        &Callbacks::onRequest, this, MHD_OPTION_EXTERNAL_LOGGER, &Callbacks::onLog, nullptr, MHD_OPTION_SOCK_ADDR,
        &address, MHD_OPTION_CONNECTION_TIMEOUT, IdleTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT, connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, std::max(connections / 2, 8u), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        ConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::onCompleted, nullptr, MHD_OPTION_END);
    if (!m_daemon) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : m_settings.port;
    return true;
}

void ExporterServer::stop()
{
    m_discovery.stop();
    m_scheduler.stop();
    std::set<ExchangePtr> left; // between two steps when the workers stopped
    {
        std::lock_guard<std::mutex> lock(m_suspendedLock);
        left = m_suspended;
    }
    for (const ExchangePtr& exchange : left) {
        answer(exchange, MHD_HTTP_SERVICE_UNAVAILABLE, QStringLiteral("导出程序正在停止\n").toUtf8());
    }
    if (m_daemon) {
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
}

int ExporterServer::deadlineMs(const char* scrapeTimeout)
{
    bool ok = false;
    const double seconds = scrapeTimeout ? QByteArray(scrapeTimeout).trimmed().toDouble(&ok) : 0;
    if (!ok || !std::isfinite(seconds) || seconds <= 0) {
        return DefaultDeadlineMs;
    }
    const double ms = std::min(seconds, MaxDeadlineSeconds) * 1000;
    // A short time-out keeps half of itself rather than nothing.
    return int(ms > 2 * DeadlineMarginMs ? ms - DeadlineMarginMs : ms / 2);
}

int ExporterServer::handle(const ExchangePtr& exchange, const char* url, const char* method)
{
    {
        std::lock_guard<std::mutex> lock(exchange->lock);
        if (exchange->answered) {
            return respond(exchange->connection, exchange->status, exchange->body,
                           exchange->metrics ? MetricsType : TextType);
        }
    }
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return respondText(exchange->connection, MHD_HTTP_METHOD_NOT_ALLOWED, QStringLiteral("只接受 GET 和 HEAD\n"));
    }
    const char* timeout
        = MHD_lookup_connection_value(exchange->connection, MHD_HEADER_KIND, "X-Prometheus-Scrape-Timeout-Seconds");
    exchange->deadline = exchange->started + std::chrono::milliseconds(deadlineMs(timeout));
    const QByteArray path(url);
    if (path == "/probe") {
        return startProbe(exchange);
    }
    if (path == "/metrics") {
        return startMetrics(exchange);
    }
    return respondText(exchange->connection, MHD_HTTP_NOT_FOUND,
                       QStringLiteral("没有这个页面：有 /probe?target=IPv4 地址 和 /metrics\n"));
}

int ExporterServer::startProbe(const ExchangePtr& exchange)
{
    const char* value = MHD_lookup_connection_value(exchange->connection, MHD_GET_ARGUMENT_KIND, "target");
    const QString target = value ? QString::fromUtf8(value) : QString();
    quint32 address = 0;
    if (!TargetAllowList::parseAddress(target, &address)) {
        return respondText(exchange->connection, MHD_HTTP_BAD_REQUEST,
                           QStringLiteral("target 应为打印机的 IPv4 地址，如 /probe?target=10.1.2.3\n"));
    }
    if (m_settings.targets.hasNetworks() && !m_settings.targets.contains(address)) {
        return respondText(exchange->connection, MHD_HTTP_FORBIDDEN,
                           QStringLiteral("不允许探测这个地址：它不在 config.json 的 exporterTargets 中\n"));
    }
    const int result = suspend(exchange);
    m_discovery.request(ProbeDiscoveryAge, [this, exchange, target](const DiscoveryWorker::Snapshot& snapshot) {
        probeWithSnapshot(exchange, target, snapshot);
    });
    return result;
}

void ExporterServer::probeWithSnapshot(const ExchangePtr& exchange, const QString& target,
                                       const DiscoveryWorker::Snapshot& snapshot)
{
    // A target with a queue is polled as that queue's printer, with its
    // name and make-and-model; without one only where the networks allow.
    const QString queue = snapshot.queueByAddress.value(target);
    if (queue.isEmpty() && !m_settings.targets.hasNetworks()) {
        if (snapshot.serverSilent) {
            answer(exchange, MHD_HTTP_SERVICE_UNAVAILABLE,
                   QStringLiteral("打印服务器无响应：无法确认这个地址有打印队列\n").toUtf8());
        } else {
            answer(exchange, MHD_HTTP_FORBIDDEN,
                   QStringLiteral("不允许探测这个地址：没有支持型号的打印队列使用它，"
                                  "config.json 也没有 exporterTargets\n")
                       .toUtf8());
        }
        return;
    }
    const QString key = queue.isEmpty() ? PrinterPoll::addressRecordName(target) : queue;
    ProbeScheduler::Work work;
    if (queue.isEmpty()) {
        work = [target](const std::atomic<bool>& cancelled) { return PrinterPoll::pollAddress(target, &cancelled); };
    } else {
        work = [queue](const std::atomic<bool>& cancelled) { return PrinterPoll::poll(queue, &cancelled); };
    }
    const QString shownName = queue.isEmpty() ? target : queue;
    m_scheduler.request(
        key, work, [key] { cutPrinter(key); }, exchange->deadline,
        [this, exchange, key, shownName, target](const PrinterResult* polled) {
            const PrinterResult result
                = polled ? *polled : unanswered(key, shownName, target, secondsSince(exchange->started));
            const bool success = polled && gotReport(polled->codes);
            answer(exchange, MHD_HTTP_OK,
                   prometheusText({ result }, QDateTime::currentDateTime())
                       + probeText(success, secondsSince(exchange->started)),
                   true);
        });
}

int ExporterServer::startMetrics(const ExchangePtr& exchange)
{
    exchange->when = QDateTime::currentDateTime();
    const int result = suspend(exchange);
    m_discovery.request(MetricsDiscoveryAge, [this, exchange](const DiscoveryWorker::Snapshot& snapshot) {
        pollForMetrics(exchange, snapshot);
    });
    return result;
}

void ExporterServer::pollForMetrics(const ExchangePtr& exchange, const DiscoveryWorker::Snapshot& snapshot)
{
    if (snapshot.serverSilent) {
        answer(exchange, MHD_HTTP_SERVICE_UNAVAILABLE, QStringLiteral("打印服务器无响应\n").toUtf8());
        return;
    }
    const QStringList names = snapshot.names;
    {
        std::lock_guard<std::mutex> lock(exchange->lock);
        exchange->names = names;
        exchange->results.resize(names.size());
        exchange->pending = names.size();
    }
    if (names.isEmpty()) {
        answer(exchange, MHD_HTTP_OK, prometheusText({}, exchange->when) + buildInfoText(), true);
        return;
    }
    for (int i = 0; i < names.size(); ++i) {
        const QString key = names.at(i);
        m_scheduler.request(
            key, [key](const std::atomic<bool>& cancelled) { return PrinterPoll::poll(key, &cancelled); },
            [key] { cutPrinter(key); }, exchange->deadline,
            [this, exchange, key, i](const PrinterResult* polled) {
                QByteArray body;
                {
                    std::lock_guard<std::mutex> lock(exchange->lock);
                    exchange->results[i]
                        = polled ? *polled : unanswered(key, key, QString(), secondsSince(exchange->started));
                    if (--exchange->pending > 0) {
                        return;
                    }
                    body = prometheusText(exchange->results.toList(), exchange->when) + buildInfoText();
                }
                answer(exchange, MHD_HTTP_OK, body, true);
            });
    }
}

int ExporterServer::suspend(const ExchangePtr& exchange)
{
    {
        std::lock_guard<std::mutex> lock(m_suspendedLock);
        m_suspended.insert(exchange);
    }
    MHD_suspend_connection(exchange->connection);
    return MHD_YES;
}

void ExporterServer::answer(const ExchangePtr& exchange, unsigned status, const QByteArray& body, bool metrics)
{
    {
        std::lock_guard<std::mutex> lock(exchange->lock);
        if (exchange->answered) {
            return;
        }
        exchange->answered = true;
        exchange->status = status;
        exchange->body = body;
        exchange->metrics = metrics;
    }
    {
        std::lock_guard<std::mutex> lock(m_suspendedLock);
        m_suspended.erase(exchange);
    }
    MHD_resume_connection(exchange->connection);
}
