#ifndef PSM_USBDISCOVERY_H
#define PSM_USBDISCOVERY_H

// Finds the maker's printers on the USB buses. The header is free of libusb
// types so that Qt-side code can include it.

#include <QList>
#include <QPair>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

struct UsbDeviceRecord {
    uint8_t busNumber = 0;
    uint8_t portNumber = 0;
    QString vendorId; // "%04x"
    QString productId; // "%04x"
    QString manufacturer;
    QString model; // product string without the maker prefix "OSTREL "
    QString serial;
    int32_t state = 0;
    // One entry per interface of the first configuration, from its first
    // alternate setting: number, class, subclass, protocol.
    std::vector<std::array<uint8_t, 4>> interfaces;
    bool missing = false;
    bool isNew = false;

    bool sameDevice(const UsbDeviceRecord& other) const
    {
        return busNumber == other.busNumber && portNumber == other.portNumber && vendorId == other.vendorId
            && productId == other.productId;
    }
};

using UsbWantedList = QList<QPair<QString, QString>>; // (vendor id, product id), "%04x"

bool initUsb();
void exitUsb();
QList<UsbDeviceRecord> scanUsbDevices(const UsbWantedList& wanted);

#endif // PSM_USBDISCOVERY_H
