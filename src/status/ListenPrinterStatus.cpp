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

// The polls in flight, by printer name; shared by the poller's thread and
// the pool's threads.
struct ListenPrinterStatus::Tracker {
    struct Poll {
        PrinterContextPtr printer;
        qint64 startedMs = -1; // -1 while queued
        bool setAside = false; // no longer counted against MaxActivePolls
    };
    QMutex mutex;
    QHash<QString, Poll> polls;
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
    m_pool->setMaxThreadCount(MaxActivePolls);
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
    m_pool->clear();
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
    {
        QMutexLocker locker(&m_tracker->mutex);
        if (m_tracker->polls.contains(printerName)) {
            return; // its report comes when the running poll ends
        }
        m_tracker->polls.insert(printerName, { PrinterRegistry::instance().getPrinterContext(printerName) });
    }
    m_pool->start([this, printerName] {
        {
            QMutexLocker locker(&m_tracker->mutex);
            m_tracker->polls[printerName].startedMs = m_tracker->clock.elapsed();
        }
        if (!m_stopping.load()) {
            getPrinterStatusOnPrivateChannel(printerName);
        }
        QMutexLocker locker(&m_tracker->mutex);
        if (m_tracker->polls.take(printerName).setAside) {
            m_pool->reserveThread(); // gives back the slot lent in setStalledPollsAside
        }
    });
    if (!m_stallTimer->isActive()) {
        m_stallTimer->start();
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
            poll.setAside = true;
            // Lets the pool run one more thread while this one waits.
            m_pool->releaseThread();
        }
    }
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
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(printerName);
    const bool isUSB = printer->isUSB();
    const QString failureText = QString::fromUtf8(TonerFailureText);
    auto report = [this, &printerName](int code) { this->report(printerName, { QString::number(code) }); };
    auto markTonerFailed = [&printer, &failureText] {
        if (printer->supportToner()) {
            printer->setTonerText(failureText);
        }
    };

    std::string token;
    int ret = loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1);
    if (ret == -2) {
        report(StatusCode::ChannelBusy);
        return;
    }
    if (ret == -1) {
        PSM_LOG << "user login failed";
        markTonerFailed();
        report(isUSB ? StatusCode::UsbUnreachable : StatusCode::NetworkUnreachable);
        return;
    }
    if (ret != 0) {
        PSM_LOG << "user login failed, ret=" << ret;
        markTonerFailed();
        report(StatusCode::LoginRefused);
        return;
    }

    std::string deviceId;
    ret = getPrinterDeviceId(printer, token, deviceId, 1);
    if (ret == -2) {
        report(StatusCode::ChannelBusy);
        return;
    }
    if (ret != 0) {
        PSM_LOG << "get device id setting failed";
        markTonerFailed();
        report(StatusCode::DeviceIdFailed);
        PSM_LOG << printerName << "exit";
        return;
    }

    std::string info;
    ret = getPrinterDeviceInfo(printer, token, { "tonerGroup", "model" }, info, 1);
    if (ret == -2) {
        report(StatusCode::ChannelBusy);
        return;
    }
    if (ret != 0) {
        markTonerFailed();
        report(StatusCode::DeviceInfoFailed);
        PSM_LOG << printerName << "exit";
        return;
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
            report(StatusCode::DeviceInfoFailed);
            PSM_LOG << printerName << "exit";
            return;
        }
    }

    PrinterStatusReply status;
    ret = getPrinterStatus(printer, token, status, 1);
    if (ret == -2) {
        report(StatusCode::ChannelBusy);
        return;
    }
    if (ret != 0) {
        markTonerFailed();
        report(StatusCode::StatusFailed);
        return;
    }
    this->report(printerName, boundedReport(buildStatusReport(status), printerName));
}
