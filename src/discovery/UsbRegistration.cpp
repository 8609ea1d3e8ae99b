// USB registration: the step of every watcher pass that registers the maker's
// printers attached over USB under their USB identity (vendor id, product id
// and serial number joined by ":").

#include "discovery/ListenPrinterInfo.h"

#include "channel/PrinterOperations.h"
#include "core/HostUtils.h"
#include "core/Log.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "core/UsbIdentity.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

void ListenPrinterInfo::addUSBDevice(QStringList& knownNames, const QList<UsbDeviceRecord>& devices,
                                     const QStringList& candidates)
{
    PrinterRegistry& registry = PrinterRegistry::instance();
    const QHash<QString, PrinterContextPtr> contexts = registry.getPrinterContexts();
    // Devices without a serial number share one identity; the first one of a
    // pass stands for all of them, so a pass announces it at most once.
    QSet<QString> handled;

    for (const UsbDeviceRecord& device : devices) {
        // The connector needs the class values of the last interface.
        if (device.interfaces.empty()) {
            continue;
        }
        const QString usbIdentity = UsbIdentity{ device.vendorId, device.productId, device.serial }.toString();
        if (handled.contains(usbIdentity)) {
            continue;
        }
        handled.insert(usbIdentity);

        if (hasQueueForUsbDevice(candidates, usbIdentity)) {
            continue; // reached through its CUPS queue
        }

        if (knownNames.contains(usbIdentity)) {
            if (const PrinterContextPtr printer = contexts.value(usbIdentity)) {
                if (printer->model() != device.model) {
                    applyModel(*printer, device.model);
                }
            }
            knownNames.removeOne(usbIdentity);
            continue;
        }

        const std::array<uint8_t, 4>& lastInterface = device.interfaces.back();
        const PrinterContextPtr printer
            = registry.addPrinterContext(device.model, usbIdentity, true, lastInterface[1], lastInterface[2]);
        applyModel(*printer, device.model);
        printer->setKind(1);

        const QString& vid = device.vendorId;
        const QString& pid = device.productId;
        if (device.interfaces.size() > 1 && pid != QLatin1String("a61c") && pid != QLatin1String("a62c")) {
            PSM_LOG << "pid:" << pid;
            PSM_LOG << "vid:" << vid;
        }

        fetchUsbIdentity(usbIdentity);
        emit sigAddUSBPrinter(device.model, usbIdentity);
        if (printer->usbDetailB().isEmpty()) {
            printer->setUsbDetailB(QStringLiteral("unneed"));
        }
    }
}

bool ListenPrinterInfo::hasQueueForUsbDevice(const QStringList& candidates, const QString& usbIdentity)
{
    UsbIdentity identity;
    UsbIdentity::parse(usbIdentity, identity);
    const QString& serial = identity.serial;
    // Every text contains the empty text: a device without a serial number
    // cannot be told apart by its queue.
    if (serial.isEmpty()) {
        return false;
    }
    bool found = false;
    for (const QString& name : candidates) {
        const PrinterOptions options = getPrinterOptions(name);
        const QString tail = uriTail(options.value(DeviceUriOption));
        if (!ModelTable::isSupportedModel(options.value(MakeAndModelOption))) {
            continue;
        }
        if (!isValidIPv4(addressFromUriTail(tail)) && deviceTextFromUriTail(tail).contains(serial)) {
            found = true;
        }
    }
    return found;
}

void ListenPrinterInfo::fetchUsbIdentity(const QString& usbIdentity)
{
    setLastDeviceId(QStringLiteral("-1"));
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(usbIdentity);

    std::string token;
    if (loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1) != 0) {
        return;
    }

    QString mac;
    std::string info;
    if (getPrinterDeviceInfo(printer, token, { "mac" }, info, 1) == 0) {
        const QJsonDocument reply = QJsonDocument::fromJson(QByteArray::fromStdString(info));
        if (!reply.isNull()) {
            mac = reply.object().value(QStringLiteral("mac")).toString();
        }
    }

    std::string deviceId;
    if (getPrinterDeviceId(printer, token, deviceId, 1) == 0) {
        const QString id = QString::fromStdString(deviceId);
        setLastDeviceId(id);
        printer->setUsbDetailA(id);
        printer->setUsbDetailB(mac);
    }
}
