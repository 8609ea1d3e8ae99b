#include "channel/UsbDiscovery.h"

#include "core/Log.h"

#include <QMutex>
#include <QMutexLocker>

#include <libusb.h>

#include <cstdio>
#include <exception>

namespace
{

// The process-wide device list; scans may come from more than one thread.
QMutex& deviceListMutex()
{
    static QMutex mutex;
    return mutex;
}

QList<UsbDeviceRecord>& deviceList()
{
    static QList<UsbDeviceRecord> list;
    return list;
}

// How many initUsb() calls succeeded and were not yet matched by exitUsb():
// without libusb's default context, its list call would crash.
int& usbUsers()
{
    static int users = 0;
    return users;
}

QString hexId(uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return QString::fromLatin1(text);
}

// A string descriptor in libusb's ASCII form (other characters become '?');
// empty when the device has none or does not answer.
QString asciiString(libusb_device_handle* handle, uint8_t index)
{
    unsigned char buffer[256] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, index, buffer, sizeof buffer);
    if (length <= 0)
        return QString();
    return QString::fromLatin1(reinterpret_cast<const char*>(buffer), length);
}

bool isWanted(const UsbWantedList& wanted, const QString& vendorId, const QString& productId)
{
    for (const auto& pair : wanted) {
        if (pair.first == vendorId && pair.second == productId)
            return true;
    }
    return false;
}

} // namespace

bool initUsb()
{
    const int rc = libusb_init(nullptr);
    if (rc != LIBUSB_SUCCESS) {
        PSM_LOG << "failed to init USB, error code : " << rc;
        return false;
    }
    QMutexLocker lock(&deviceListMutex());
    ++usbUsers();
    return true;
}

void exitUsb()
{
    QMutexLocker lock(&deviceListMutex());
    if (usbUsers() == 0)
        return;
    --usbUsers();
    try {
        libusb_exit(nullptr);
    } catch (...) {
        PSM_LOG << "libusb_exit failed!";
    }
}

QList<UsbDeviceRecord> scanUsbDevices(const UsbWantedList& wanted)
{
    QMutexLocker lock(&deviceListMutex());
    QList<UsbDeviceRecord>& list = deviceList();

    for (UsbDeviceRecord& record : list)
        record.missing = true;

    libusb_device** devices = nullptr;
    const ssize_t count = usbUsers() > 0 ? libusb_get_device_list(nullptr, &devices) : ssize_t(LIBUSB_ERROR_OTHER);
    if (count < 0) {
        PSM_LOG << "failed to get device list, error code : " << int(count);
        // Nothing was seen, so nothing is known to be gone: keep every record.
        for (UsbDeviceRecord& record : list)
            record.missing = false;
        return list;
    }

    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = devices[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS)
            continue;

        UsbDeviceRecord record;
        record.busNumber = libusb_get_bus_number(device);
        record.portNumber = libusb_get_port_number(device);
        record.vendorId = hexId(desc.idVendor);
        record.productId = hexId(desc.idProduct);
        if (!isWanted(wanted, record.vendorId, record.productId))
            continue;

        bool known = false;
        for (UsbDeviceRecord& existing : list) {
            if (existing.sameDevice(record)) {
                existing.missing = false;
                known = true;
                break;
            }
        }
        if (known)
            continue; // seen before: not opened again

        record.state = 2;
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS)
            continue;
        for (int n = 0; n < config->bNumInterfaces; ++n) {
            const libusb_interface& iface = config->interface[n];
            if (iface.num_altsetting < 1)
                continue;
            const libusb_interface_descriptor& alt = iface.altsetting[0];
            record.interfaces.push_back(
                { alt.bInterfaceNumber, alt.bInterfaceClass, alt.bInterfaceSubClass, alt.bInterfaceProtocol });
        }
        libusb_free_config_descriptor(config);

        libusb_device_handle* handle = nullptr;
        const int rc = libusb_open(device, &handle);
        if (rc != LIBUSB_SUCCESS) {
            PSM_LOG << "libusb" << record.vendorId << record.productId << "open failed : " << rc;
            continue;
        }
        record.serial = asciiString(handle, desc.iSerialNumber);
        record.manufacturer = asciiString(handle, desc.iManufacturer);
        record.model = asciiString(handle, desc.iProduct);
        record.model.remove(QStringLiteral("OSTREL "));
        record.isNew = true;
        list.append(record);
        libusb_close(handle);
    }
    libusb_free_device_list(devices, 1);

    for (int i = list.size() - 1; i >= 0; --i) {
        if (list.at(i).missing)
            list.removeAt(i);
    }
    return list;
}
