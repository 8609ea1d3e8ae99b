#include "status/ListenPrinterStatus.h"

#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
#include "core/IdleMemory.h"
#include "core/Log.h"
#include "core/PrinterRegistry.h"
#include "core/ResultCodes.h"
#include "status/StatusMessage.h"
#include "status/StatusReport.h"
#include "status/TonerInfo.h"

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
    // A pass takes well under a second of the minute between passes: its
    // threads (their stacks and allocations) need not wait for the next.
    m_pool->setExpiryTimeout(PoolThreadExpiryMs);
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
    const QStringList list = m_stopping.load() ? QStringList() : pollPrinter(printerName);
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
        locker.unlock();
        // The pass is over: its replies and buffers need not stay resident
        // for the minute until the next.
        trimHeap();
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
    report(printerName, pollPrinter(printerName));
}

namespace
{
// The poll's lines are logged under the poll's own name, whichever step
// writes them.
QDebug pollLog()
{
    return ::logLine("getPrinterStatusOnPrivateChannel");
}

// The steps of one poll. Each returns false when the poll ends there, with
// the report it ends with: a busy connector reports the busy code and leaves
// the toner text alone; any other failure marks the toner unreadable (for
// models that report toner) and reports the step's code.
class PollSteps
{
public:
    explicit PollSteps(const QString& printerName)
        : m_name(printerName)
        , m_printer(PrinterRegistry::instance().getPrinterContext(printerName))
        , m_failureText(QString::fromUtf8(TonerFailureText))
    {
    }

    QStringList report;

    bool login()
    {
        const int ret = loginPrinter(m_printer, DefaultAccount, defaultAccountPassword(), m_token, 1);
        if (ret == CallBusy) {
            return busy();
        }
        if (ret == CallFailed) {
            pollLog() << "user login failed";
            return fail(m_printer->isUSB() ? StatusCode::UsbUnreachable : StatusCode::NetworkUnreachable);
        }
        if (ret != CallOk) {
            pollLog() << "user login failed, ret=" << ret;
            return fail(StatusCode::LoginRefused);
        }
        return true;
    }

    bool readDeviceId()
    {
        std::string deviceId;
        const int ret = getPrinterDeviceId(m_printer, m_token, deviceId, 1);
        if (ret == CallBusy) {
            return busy();
        }
        if (ret != CallOk) {
            pollLog() << "get device id setting failed";
            fail(StatusCode::DeviceIdFailed);
            pollLog() << m_name << "exit";
            return false;
        }
        return true;
    }

    bool readDeviceInfo()
    {
        std::string info;
        const int ret = getPrinterDeviceInfo(m_printer, m_token, { "tonerGroup", "model" }, info, 1);
        if (ret == CallBusy) {
            return busy();
        }
        if (ret != CallOk) {
            fail(StatusCode::DeviceInfoFailed);
            pollLog() << m_name << "exit";
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(info), &parseError);
        const bool isJson = !document.isNull() && parseError.error == QJsonParseError::NoError;
        m_printer->setTonerText(boundedDeviceInfo(QString::fromStdString(info), isJson ? &document : nullptr, m_name));
        if (isJson && !modelAgrees(document.object().value(QStringLiteral("model")).toVariant().toString())) {
            pollLog() << "printer model is different";
            m_printer->setTonerText(m_printer->supportToner() ? m_failureText : QString());
            pollLog() << m_name << "exit";
            report = QStringList{ QString::number(StatusCode::DeviceInfoFailed) };
            return false;
        }
        return true;
    }

    bool readStatus()
    {
        PrinterStatusReply status;
        const int ret = getPrinterStatus(m_printer, m_token, status, 1);
        if (ret == CallBusy) {
            return busy();
        }
        if (ret != CallOk) {
            return fail(StatusCode::StatusFailed);
        }
        report = boundedStatusReport(status, m_name);
        return true;
    }

private:
    bool modelAgrees(const QString& deviceModel) const
    {
        const QString recordModel = m_printer->model();
        return recordModel.contains(deviceModel)
            || (recordModel.contains(QLatin1String("TR Color 3800 Series"))
                && deviceModel.contains(QLatin1String("TR3800c")));
    }

    bool busy()
    {
        report = QStringList{ QString::number(StatusCode::ChannelBusy) };
        return false;
    }

    bool fail(int code)
    {
        if (m_printer->supportToner()) {
            m_printer->setTonerText(m_failureText);
        }
        report = QStringList{ QString::number(code) };
        return false;
    }

    const QString m_name;
    const PrinterContextPtr m_printer;
    const QString m_failureText;
    std::string m_token;
};
} // namespace

QStringList ListenPrinterStatus::pollPrinter(const QString& printerName)
{
    PollSteps poll(printerName);
    if (poll.login() && poll.readDeviceId() && poll.readDeviceInfo()) {
        poll.readStatus();
    }
    return poll.report;
}
