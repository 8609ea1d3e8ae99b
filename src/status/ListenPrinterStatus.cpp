#include "status/ListenPrinterStatus.h"

#include "core/Log.h"
#include "channel/PrinterOperations.h"
#include "core/PrinterRegistry.h"
#include "status/StatusMessage.h"
#include "status/StatusReport.h"
#include "status/TonerInfo.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

ListenPrinterStatus::ListenPrinterStatus(QObject* parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
{
    connect(m_timer, &QTimer::timeout, this, &ListenPrinterStatus::refreshPrinterStatus);
    m_timer->setInterval(PollIntervalMs);
    m_timer->start();
}

ListenPrinterStatus::~ListenPrinterStatus()
{
    m_timer->stop();
}

void ListenPrinterStatus::listenPrinterStatus(const QStringList& printerList, bool immediate)
{
    if (!immediate || printerList.isEmpty()) {
        return;
    }
    for (const QString& name : printerList) {
        getPrinterStatusOnPrivateChannel(name);
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
    getPrinterStatusOnPrivateChannel(printerName);
}

void ListenPrinterStatus::refreshPrinterStatus()
{
    const auto contexts = PrinterRegistry::instance().getPrinterContexts();
    for (const PrinterContextPtr& context : contexts) {
        getPrinterStatusOnPrivateChannel(context->printerName());
    }
}

void ListenPrinterStatus::getPrinterStatusOnPrivateChannel(const QString& printerName)
{
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(printerName);
    const bool isUSB = printer->isUSB();
    const QString failureText = QString::fromUtf8(TonerFailureText);
    auto report = [this, &printerName](int code) { emit printerStatusChanged(printerName, { QString::number(code) }); };
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
    const QString infoText = QString::fromStdString(info);
    printer->setTonerText(infoText);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(infoText.toUtf8(), &parseError);
    if (!document.isNull() && parseError.error == QJsonParseError::NoError) {
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
    emit printerStatusChanged(printerName, buildStatusReport(status));
}
