#include "PrinterPoll.h"

#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "core/ResultCodes.h"
#include "discovery/ListenPrinterInfo.h"
#include "status/ListenPrinterStatus.h"
#include "status/TonerInfo.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThreadPool>
#include <QVector>

#include <algorithm>

namespace
{
const QLatin1String AddressRecordPrefix("probe/");

// The model a printer reports, or an empty text when it cannot be read.
QString readModel(const PrinterContextPtr& printer)
{
    std::string token;
    if (loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1) != CallOk) {
        return QString();
    }
    std::string info;
    if (getPrinterDeviceInfo(printer, token, { "model" }, info, 1) != CallOk) {
        return QString();
    }
    return QJsonDocument::fromJson(QByteArray::fromStdString(info)).object().value(QStringLiteral("model")).toString();
}

// Toner support as the queue's make-and-model would give it; the colour
// TR3800 reports "TR3800c" where its queues name the series.
bool modelReportsToner(const QString& model)
{
    if (ModelTable::findModelByText(model).supportToner) {
        return true;
    }
    return model.contains(QLatin1String("TR3800c"))
        && ModelTable::findModelByText(QStringLiteral("TR Color 3800 Series")).supportToner;
}
} // namespace

QStringList PrinterPoll::discover(const std::function<bool(const QString&)>& keepsRecord)
{
    ListenPrinterInfo::Options options;
    options.startThread = false;
    options.keepsRecord = keepsRecord;
    ListenPrinterInfo watcher(options);
    watcher.checkPrinter();
    QStringList names = PrinterRegistry::instance().getPrinterContexts().keys();
    if (keepsRecord) {
        names.erase(std::remove_if(names.begin(), names.end(), keepsRecord), names.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

PrinterResult PrinterPoll::poll(const QString& name, const std::atomic<bool>* cancelled)
{
    QElapsedTimer clock;
    clock.start();
    PrinterResult result;
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(name);
    result.name = name;
    result.usb = printer->isUSB();
    result.address = result.usb ? printer->ip() + QLatin1Char(' ') + name : printer->ip();
    result.model = printer->model();
    result.codes = ListenPrinterStatus::pollPrinter(name);
    result.deviceId = printer->deviceId();
    if (printer->supportToner()) {
        bool isJson = false;
        result.toners = parseToners(printer->tonerText(), &isJson);
        if (!isJson) {
            result.tonerNote = printer->tonerText();
        }
    }
    if (cancelled && cancelled->load()) {
        resetConnectors(printer);
    }
    result.pollSeconds = clock.elapsed() / 1000.0;
    return result;
}

PrinterResult PrinterPoll::pollAddress(const QString& address, const std::atomic<bool>* cancelled)
{
    QElapsedTimer clock;
    clock.start();
    PrinterRegistry& registry = PrinterRegistry::instance();
    const QString name = addressRecordName(address);
    const PrinterContextPtr printer = registry.addPrinterContext(address, name, false, 0, 0);
    const QString model = readModel(printer);
    printer->setModel(model);
    printer->setSupportToner(modelReportsToner(model));
    PrinterResult result;
    if (cancelled && cancelled->load()) {
        result.name = name;
        result.address = address;
        result.model = model;
    } else {
        result = poll(name, cancelled);
    }
    result.name = address;
    registry.removePrinterContext(name);
    resetConnectors(printer);
    result.pollSeconds = clock.elapsed() / 1000.0;
    return result;
}

QList<PrinterResult> PrinterPoll::pollAll(const QStringList& names, int workers)
{
    QVector<PrinterResult> results(names.size());
    QThreadPool pool;
    pool.setMaxThreadCount(workers);
    for (int i = 0; i < names.size(); ++i) {
        pool.start([&results, &names, i] { results[i] = poll(names.at(i)); });
    }
    pool.waitForDone();
    return results.toList();
}

QString PrinterPoll::addressRecordName(const QString& address)
{
    return AddressRecordPrefix + address;
}

bool PrinterPoll::isAddressRecord(const QString& name)
{
    return name.startsWith(AddressRecordPrefix);
}
