#include "ListenPrinterStatus.h"

#include "ConnectorRegistry.h"
#include "Log.h"
#include "PrinterOperations.h"
#include "PrinterRegistry.h"
#include "StatusMessage.h"
#include "StatusReport.h"
#include "TonerInfo.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QThreadPool>
#include <QTimer>

namespace
{
// How often the poller looks for polls that wait on their printer.
constexpr int StallCheckMs = 100;
// How often a stopping poller cuts the connections of polls still running,
// for polls that were between two calls at the previous cut.
constexpr int StopCutMs = 100;
} // namespace

// The polls in flight, by printer name, and those waiting for their turn;
// shared by the poller's thread and the pool's threads.
struct ListenPrinterStatus::Tracker {
    struct Poll {
        PrinterContextPtr printer;
        qint64 startedMs = -1; // -1 until it runs
        bool setAside = false; // no longer counted in active
    };
    QMutex mutex;
    QHash<QString, Poll> polls;
    QStringList waiting; // in the order asked, not yet handed to the pool
    int active = 0; // handed to the pool and not set aside
    QElapsedTimer clock;
};

ListenPrinterStatus::ListenPrinterStatus(QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
    , m_stallTimer(new QTimer(this))
    , m_pool(new QThreadPool(this))
    , m_tracker(new Tracker)
{
    m_tracker->clock.start();
    m_pool->setMaxThreadCount(MaxPollThreads);
    connect(m_timer, &QTimer::timeout, this, &ListenPrinterStatus::refreshPrinterStatus);
    m_timer->setInterval(PollIntervalMs);
    m_timer->start();
    connect(m_stallTimer, &QTimer::timeout, this, &ListenPrinterStatus::setStalledPollsAside);
    m_stallTimer->setInterval(StallCheckMs);
}

ListenPrinterStatus::~ListenPrinterStatus()
{
    m_stopping.store(true);
    m_timer->stop();
    m_stallTimer->stop();
    {
        QMutexLocker locker(&m_tracker->mutex);
        m_tracker->waiting.clear();
    }
    // A hung printer would hold its poll for the whole receive time-out.
    do {
        cutPollsInFlight();
    } while (!m_pool->waitForDone(StopCutMs));
}

void ListenPrinterStatus::listenPrinterStatus(const QStringList& printerList, bool immediate)
{
    if (!immediate || printerList.isEmpty()) {
        return;
    }
    for (const QString& name : printerList) {
        startPoll(name);
    }
}

void ListenPrinterStatus::startListenPrinterStatus(bool)
{
    if (!m_timer->isActive()) {
        m_timer->start();
    }
}

void ListenPrinterStatus::stopListenPrinterStatus(bool)
{
    if (m_timer->isActive()) {
        m_timer->stop();
    }
}

void ListenPrinterStatus::updatePrinterStatus(const QString& printerName)
{
    startPoll(printerName);
}

void ListenPrinterStatus::refreshPrinterStatus()
{
    const auto contexts = PrinterRegistry::instance().getPrinterContexts();
    for (const PrinterContextPtr& context : contexts) {
        startPoll(context->printerName());
    }
}

void ListenPrinterStatus::startPoll(const QString& printerName)
{
    if (m_stopping.load()) {
        return;
    }
    QMutexLocker locker(&m_tracker->mutex);
    if (m_tracker->polls.contains(printerName)) {
        return; // its report comes when the running poll ends
    }
    m_tracker->polls.insert(printerName, { PrinterRegistry::instance().getPrinterContext(printerName) });
    m_tracker->waiting.append(printerName);
    startWaitingPolls();
    if (!m_stallTimer->isActive()) {
        m_stallTimer->start();
    }
}

void ListenPrinterStatus::startWaitingPolls()
{
    while (m_tracker->active < MaxActivePolls && !m_tracker->waiting.isEmpty() && !m_stopping.load()) {
        const QString printerName = m_tracker->waiting.takeFirst();
        ++m_tracker->active;
        m_pool->start([this, printerName] { runPoll(printerName); });
    }
}

void ListenPrinterStatus::runPoll(const QString& printerName)
{
    {
        QMutexLocker locker(&m_tracker->mutex);
        m_tracker->polls[printerName].startedMs = m_tracker->clock.elapsed();
    }
    const QStringList list
        = m_stopping.load() ? QStringList() : getPrinterStatusOnPrivateChannel(printerName, Silently);
    {
        QMutexLocker locker(&m_tracker->mutex);
        if (!m_tracker->polls.take(printerName).setAside) {
            --m_tracker->active;
        }
        startWaitingPolls();
    }
    // Only now: a poll asked for after this report must not find this one
    // still in flight and be dropped.
    if (!list.isEmpty()) {
        report(printerName, list);
    }
}

void ListenPrinterStatus::setStalledPollsAside()
{
    QMutexLocker locker(&m_tracker->mutex);
    if (m_tracker->polls.isEmpty()) {
        m_stallTimer->stop();
        return;
    }
    const qint64 now = m_tracker->clock.elapsed();
    for (Tracker::Poll& poll : m_tracker->polls) {
        if (!poll.setAside && poll.startedMs >= 0 && now - poll.startedMs >= StalledPollMs) {
            // It waits on its printer: the next one may start meanwhile.
            poll.setAside = true;
            --m_tracker->active;
        }
    }
    startWaitingPolls();
}

void ListenPrinterStatus::cutPollsInFlight()
{
    QList<PrinterContextPtr> printers;
    {
        QMutexLocker locker(&m_tracker->mutex);
        for (const Tracker::Poll& poll : qAsConst(m_tracker->polls)) {
            printers.append(poll.printer);
        }
    }
    for (const PrinterContextPtr& printer : printers) {
        cutConnectors(printer);
    }
}

void ListenPrinterStatus::report(const QString& printerName, const QStringList& list)
{
    if (!m_stopping.load()) {
        emit printerStatusChanged(printerName, list);
    }
}

void ListenPrinterStatus::getPrinterStatusOnPrivateChannel(const QString& printerName)
{
    report(printerName, getPrinterStatusOnPrivateChannel(printerName, Silently));
}

QStringList ListenPrinterStatus::getPrinterStatusOnPrivateChannel(const QString& printerName, SilentTag)
{
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(printerName);
    const bool isUSB = printer->isUSB();
    const QString failureText = QString::fromUtf8(TonerFailureText);
    auto failed = [](int code) { return QStringList{ QString::number(code) }; };
    auto markTonerFailed = [&printer, &failureText] {
        if (printer->supportToner()) {
            printer->setTonerText(failureText);
        }
    };

    std::string token;
    int ret = loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1);
    if (ret == -2) {
        return failed(StatusCode::ChannelBusy);
    }
    if (ret == -1) {
        PSM_LOG << "user login failed";
        markTonerFailed();
        return failed(isUSB ? StatusCode::UsbUnreachable : StatusCode::NetworkUnreachable);
    }
    if (ret != 0) {
        PSM_LOG << "user login failed, ret=" << ret;
        markTonerFailed();
        return failed(StatusCode::LoginRefused);
    }

    std::string deviceId;
    ret = getPrinterDeviceId(printer, token, deviceId, 1);
    if (ret == -2) {
        return failed(StatusCode::ChannelBusy);
    }
    if (ret != 0) {
        PSM_LOG << "get device id setting failed";
        markTonerFailed();
        PSM_LOG << printerName << "exit";
        return failed(StatusCode::DeviceIdFailed);
    }

    std::string info;
    ret = getPrinterDeviceInfo(printer, token, { "tonerGroup", "model" }, info, 1);
    if (ret == -2) {
        return failed(StatusCode::ChannelBusy);
    }
    if (ret != 0) {
        markTonerFailed();
        PSM_LOG << printerName << "exit";
        return failed(StatusCode::DeviceInfoFailed);
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(info), &parseError);
    const bool isJson = !document.isNull() && parseError.error == QJsonParseError::NoError;
    printer->setTonerText(boundedDeviceInfo(QString::fromStdString(info), isJson ? &document : nullptr, printerName));
    if (isJson) {
        const QString deviceModel = document.object().value(QStringLiteral("model")).toVariant().toString();
        const QString recordModel = printer->model();
        const bool agree = recordModel.contains(deviceModel)
            || (recordModel.contains(QLatin1String("TR Color 3800 Series"))
                && deviceModel.contains(QLatin1String("TR3800c")));
        if (!agree) {
            PSM_LOG << "printer model is different";
            printer->setTonerText(printer->supportToner() ? failureText : QString());
            PSM_LOG << printerName << "exit";
            return failed(StatusCode::DeviceInfoFailed);
        }
    }

    PrinterStatusReply status;
    ret = getPrinterStatus(printer, token, status, 1);
    if (ret == -2) {
        return failed(StatusCode::ChannelBusy);
    }
    if (ret != 0) {
        markTonerFailed();
        return failed(StatusCode::StatusFailed);
    }
    return boundedReport(buildStatusReport(status), printerName);
}
