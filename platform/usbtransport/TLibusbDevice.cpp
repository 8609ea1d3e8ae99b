#include "usbtransport/TLibusbDevice.h"

#include <thrift/transport/TTransportException.h>

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace apache
{
namespace thrift
{
namespace transport
{

namespace
{

using Clock = std::chrono::steady_clock;

std::string idText(uint16_t vendorId, uint16_t productId, const std::string& serial)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendorId, productId);
    return std::string(ids) + ":" + serial;
}

std::string libusbText(int code)
{
    return std::string(libusb_error_name(code)) + " (" + std::to_string(code) + ")";
}

// The time a call may wait: the caller's limit cut to the configured one. A
// configured value of 0 or less means no limit (libusb's convention for 0),
// a caller's negative value means "the configured one".
int effectiveTimeout(int requested, int configured)
{
    if (requested < 0)
        return configured > 0 ? configured : 0;
    return configured > 0 ? std::min(requested, configured) : requested;
}

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

void appendUtf8(std::string& out, uint32_t code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xc0 | (code >> 6));
        out += char(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += char(0xe0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    } else {
        out += char(0xf0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3f));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    }
}

// A string descriptor (UTF-16LE after the two header bytes) as UTF-8.
std::string stringDescriptorUtf8(const unsigned char* desc, int length)
{
    std::string out;
    for (int i = 2; i + 1 < length; i += 2) {
        uint32_t unit = desc[i] | (desc[i + 1] << 8);
        if (unit >= 0xd800 && unit < 0xdc00 && i + 3 < length) {
            const uint32_t low = desc[i + 2] | (desc[i + 3] << 8);
            if (low >= 0xdc00 && low < 0xe000) {
                unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
                i += 2;
            }
        }
        appendUtf8(out, unit);
    }
    return out;
}

struct BulkEndpoints {
    unsigned char in = 0;
    unsigned char out = 0;
    uint16_t inPacketSize = 0;
};

// The first bulk IN and the first bulk OUT endpoint of an alternate setting;
// 0 for a direction it lacks.
BulkEndpoints bulkEndpoints(const libusb_interface_descriptor& alt)
{
    BulkEndpoints bulk;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
            continue;
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
            if (!bulk.in) {
                bulk.in = ep.bEndpointAddress;
                bulk.inPacketSize = ep.wMaxPacketSize & 0x7ff;
            }
        } else if (!bulk.out) {
            bulk.out = ep.bEndpointAddress;
        }
    }
    return bulk;
}

[[noreturn]] void throwTransferError(libusb_device_handle* handle, unsigned char endpoint, int rc)
{
    switch (rc) {
    case LIBUSB_ERROR_NO_DEVICE:
        throw TTransportException(TTransportException::NOT_OPEN, "USB device is gone");
    case LIBUSB_ERROR_PIPE:
        // Clear the halt so that the next transfer on this endpoint can run.
        libusb_clear_halt(handle, endpoint);
        throw TTransportException(TTransportException::UNKNOWN, "USB endpoint stalled");
    case LIBUSB_ERROR_OVERFLOW:
        throw TTransportException(TTransportException::CORRUPTED_DATA, "USB device sent more than was asked for");
    default:
        throw TTransportException(TTransportException::UNKNOWN, "USB bulk transfer failed: " + libusbText(rc));
    }
}

} // namespace

TLibusbDevice::TLibusbDevice(uint16_t vendorId, uint16_t productId, const std::string& serial, uint16_t interfaceClass,
                             uint16_t interfaceSubclass, uint16_t interfaceProtocol, bool zeroLengthPacket,
                             int readTimeoutMs, int writeTimeoutMs, uint32_t readBufferSize, uint32_t writeBufferSize,
                             bool resetOnOpen)
    : m_vendorId(vendorId)
    , m_productId(productId)
    , m_serial(serial)
    , m_interfaceClass(interfaceClass)
    , m_interfaceSubclass(interfaceSubclass)
    , m_interfaceProtocol(interfaceProtocol)
    , m_zeroLengthPacket(zeroLengthPacket)
    , m_readTimeoutMs(readTimeoutMs)
    , m_writeTimeoutMs(writeTimeoutMs)
    , m_readBufferSize(std::max<uint32_t>(readBufferSize, 1))
    , m_writeBufferSize(std::max<uint32_t>(writeBufferSize, 1))
    , m_resetOnOpen(resetOnOpen)
{
}

TLibusbDevice::~TLibusbDevice()
{
    release();
}

bool TLibusbDevice::matchesSerial(libusb_device_handle* handle, uint8_t serialIndex) const
{
    if (serialIndex == 0)
        return m_serial.empty();

    // The ASCII form is what device discovery records, so a serial taken from
    // there matches even when the device's serial is not plain ASCII.
    unsigned char ascii[256] = {};
    const int asciiLength = libusb_get_string_descriptor_ascii(handle, serialIndex, ascii, sizeof ascii);
    if (asciiLength >= 0 && m_serial == std::string(reinterpret_cast<char*>(ascii), size_t(asciiLength)))
        return true;

    unsigned char langs[4] = {};
    if (libusb_get_string_descriptor(handle, 0, 0, langs, sizeof langs) < 4)
        return false;
    const uint16_t langId = uint16_t(langs[2] | (langs[3] << 8));
    unsigned char desc[256] = {};
    const int length = libusb_get_string_descriptor(handle, serialIndex, langId, desc, sizeof desc);
    if (length < 2 || desc[1] != LIBUSB_DT_STRING)
        return false;
    return m_serial == stringDescriptorUtf8(desc, std::min<int>(length, desc[0]));
}

bool TLibusbDevice::findInterface(libusb_device* device)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0
        && libusb_get_config_descriptor(device, 0, &config) != 0)
        return false;

    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i) {
        const libusb_interface& iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting && !found; ++a) {
            const libusb_interface_descriptor& alt = iface.altsetting[a];
            if (alt.bInterfaceClass != m_interfaceClass || alt.bInterfaceSubClass != m_interfaceSubclass)
                continue;
            if (m_interfaceProtocol != 0 && alt.bInterfaceProtocol != m_interfaceProtocol)
                continue;
            const BulkEndpoints bulk = bulkEndpoints(alt);
            if (bulk.in && bulk.out) {
                m_interface = alt.bInterfaceNumber;
                m_altSetting = alt.bAlternateSetting;
                m_inEndpoint = bulk.in;
                m_outEndpoint = bulk.out;
                m_maxPacketSize = bulk.inPacketSize ? bulk.inPacketSize : 512;
                found = true;
            }
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

void TLibusbDevice::open()
{
    if (m_handle)
        return;

    // Each open link holds a reference on libusb's default context, so the
    // link works whether or not the application initialised libusb.
    const int rc = libusb_init(nullptr);
    if (rc != 0)
        throw TTransportException(TTransportException::NOT_OPEN, "libusb_init failed: " + libusbText(rc));
    m_contextHeld = true;

    const std::string identity = idText(m_vendorId, m_productId, m_serial);
    openDevice(identity);
    claimInterface(identity);

    // Whole packets only: a device may always send a full packet, and a
    // buffer that ends inside one would make the transfer overflow.
    const uint32_t packets = std::max<uint32_t>(m_readBufferSize / m_maxPacketSize, 1);
    m_readBuffer.assign(size_t(packets) * m_maxPacketSize, 0);
    m_readPos = m_readEnd = 0;
}

void TLibusbDevice::failOpen(const std::string& message)
{
    release();
    throw TTransportException(TTransportException::NOT_OPEN, message);
}

void TLibusbDevice::openDevice(const std::string& identity)
{
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0)
        failOpen("cannot list USB devices: " + libusbText(int(count)));
    // A device of another serial is no failure; an unusable one of ours is.
    std::string failure = "no USB device " + identity;
    for (ssize_t i = 0; i < count && !m_handle; ++i)
        m_handle = openCandidate(list[i], identity, failure);
    libusb_free_device_list(list, 1);
    if (!m_handle)
        failOpen(failure);
}

// The open handle when device is the one asked for and usable, else null.
libusb_device_handle* TLibusbDevice::openCandidate(libusb_device* device, const std::string& identity,
                                                   std::string& failure)
{
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(device, &desc) != 0 || desc.idVendor != m_vendorId
        || desc.idProduct != m_productId)
        return nullptr;
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(device, &handle);
    if (rc != 0) {
        failure = "cannot open USB device " + identity + ": " + libusbText(rc);
        return nullptr;
    }
    if (!matchesSerial(handle, desc.iSerialNumber)) {
        libusb_close(handle);
        return nullptr;
    }
    if (!findInterface(device)) {
        libusb_close(handle);
        failure = "USB device " + identity + " has no bulk interface of class " + std::to_string(m_interfaceClass) + "/"
            + std::to_string(m_interfaceSubclass);
        return nullptr;
    }
    return handle;
}

void TLibusbDevice::claimInterface(const std::string& identity)
{
    int rc = libusb_kernel_driver_active(m_handle, m_interface);
    if (rc == 1) {
        rc = libusb_detach_kernel_driver(m_handle, m_interface);
        if (rc == 0)
            m_kernelDriverDetached = true;
        else if (rc != LIBUSB_ERROR_NOT_FOUND)
            failOpen("cannot detach the kernel driver of " + identity + ": " + libusbText(rc));
    }
    if (m_resetOnOpen) {
        rc = libusb_reset_device(m_handle);
        if (rc != 0)
            failOpen("cannot reset USB device " + identity + ": " + libusbText(rc));
    }
    rc = libusb_claim_interface(m_handle, m_interface);
    if (rc != 0)
        failOpen("cannot claim interface " + std::to_string(m_interface) + " of " + identity + ": " + libusbText(rc));
    m_claimed = true;
    if (m_altSetting != 0) {
        rc = libusb_set_interface_alt_setting(m_handle, m_interface, m_altSetting);
        if (rc != 0)
            failOpen("cannot select the alternate setting of " + identity + ": " + libusbText(rc));
    }
}

void TLibusbDevice::release()
{
    if (m_handle) {
        // Both may fail when the device is gone; the handle is closed anyway.
        if (m_claimed)
            libusb_release_interface(m_handle, m_interface);
        if (m_kernelDriverDetached)
            libusb_attach_kernel_driver(m_handle, m_interface);
        libusb_close(m_handle);
        m_handle = nullptr;
    }
    m_claimed = false;
    m_kernelDriverDetached = false;
    m_interface = -1;
    m_readBuffer.clear();
    m_readPos = m_readEnd = 0;
    if (m_contextHeld) {
        libusb_exit(nullptr);
        m_contextHeld = false;
    }
}

void TLibusbDevice::close()
{
    release();
}

uint32_t TLibusbDevice::read(uint8_t* buf, uint32_t len, int timeoutMs)
{
    if (!m_handle)
        throw TTransportException(TTransportException::NOT_OPEN, "USB device is not open");
    if (len == 0)
        return 0;

    if (buffered() == 0) {
        const int timeout = effectiveTimeout(timeoutMs, m_readTimeoutMs);
        if (timeout == 0 && timeoutMs == 0)
            return 0;
        int transferred = 0;
        const int rc = libusb_bulk_transfer(m_handle, m_inEndpoint, m_readBuffer.data(), int(m_readBuffer.size()),
                                            &transferred, unsigned(timeout));
        // A transfer that timed out may still have brought whole packets;
        // they are part of the stream and are kept.
        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT)
            throwTransferError(m_handle, m_inEndpoint, rc);
        m_readPos = 0;
        m_readEnd = uint32_t(std::max(transferred, 0));
    }

    const uint32_t n = std::min(len, buffered());
    std::memcpy(buf, m_readBuffer.data() + m_readPos, n);
    m_readPos += n;
    return n;
}

uint32_t TLibusbDevice::write(const uint8_t* buf, uint32_t len, int timeoutMs)
{
    if (!m_handle)
        throw TTransportException(TTransportException::NOT_OPEN, "USB device is not open");

    const int timeout = effectiveTimeout(timeoutMs, m_writeTimeoutMs);
    const bool unlimited = timeout == 0 && timeoutMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    auto timeLeft = [&]() { return unlimited ? 0 : remainingMs(deadline); };

    uint32_t sent = 0;
    while (sent < len) {
        const int left = timeLeft();
        if (!unlimited && left == 0)
            return sent;
        const uint32_t chunk = std::min(len - sent, m_writeBufferSize);
        int transferred = 0;
        const int rc = libusb_bulk_transfer(m_handle, m_outEndpoint, const_cast<uint8_t*>(buf + sent), int(chunk),
                                            &transferred, unsigned(left));
        sent += uint32_t(std::max(transferred, 0));
        if (rc == LIBUSB_ERROR_TIMEOUT)
            return sent;
        if (rc != 0)
            throwTransferError(m_handle, m_outEndpoint, rc);
    }

    if (m_zeroLengthPacket && len > 0 && len % m_maxPacketSize == 0) {
        const int left = timeLeft();
        unsigned char none = 0;
        int transferred = 0;
        const int rc = (!unlimited && left == 0)
            ? LIBUSB_ERROR_TIMEOUT
            : libusb_bulk_transfer(m_handle, m_outEndpoint, &none, 0, &transferred, unsigned(left));
        if (rc == LIBUSB_ERROR_TIMEOUT)
            throw TTransportException(TTransportException::TIMED_OUT,
                                      "USB write timed out before the end of the message");
        if (rc != 0)
            throwTransferError(m_handle, m_outEndpoint, rc);
    }
    return sent;
}

} // namespace transport
} // namespace thrift
} // namespace apache
