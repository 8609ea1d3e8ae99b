#ifndef KS_TLIBUSBDEVICE_H
#define KS_TLIBUSBDEVICE_H

#include <cstdint>
#include <string>
#include <vector>

// libusb stays out of this header: it is included by code that also sees Qt.
struct libusb_device;
struct libusb_device_handle;

namespace apache
{
namespace thrift
{
namespace transport
{

// One bulk link to an interface of a USB device, over libusb-1.0.
//
// open() looks through the attached devices for the one with the given vendor
// id, product id and serial number (compared with the serial-number string as
// text, either its UTF-8 form or the ASCII form in which libusb replaces other
// characters by '?'), and claims the first interface of its active
// configuration whose class and subclass equal the two class values and, when
// the protocol value is not 0, whose protocol equals it. The first bulk IN
// and the first bulk OUT endpoint of that interface carry the bytes.
//
// The kernel's usblp driver binds to printer interfaces. When it holds the
// interface, open() detaches it and close() attaches it again, so that
// printing through the spooler keeps working once the link is closed.
//
// Reading: a bulk IN transfer fills a receive buffer of readBufferSize bytes
// (rounded down to whole packets, so the device can never overrun it), and
// read() hands out what is buffered before it asks the device again. A
// transfer that times out after some packets arrived still delivers them.
//
// Writing: write() sends the bytes in bulk OUT transfers of at most
// writeBufferSize bytes. When zeroLengthPacket is set, a message whose length
// is a whole number of packets is followed by a zero-length packet, so that
// the device sees where the message ends (the device flag; the TR7200n and
// TR3200n firmwares do not expect it).
//
// resetOnOpen asks for a USB port reset after the device was opened and
// before the interface is claimed, for devices left in a bad state.
//
// Errors are reported as TTransportException: NOT_OPEN when the device
// cannot be found, opened or claimed, or when it was unplugged; UNKNOWN for a
// stalled endpoint (the halt is cleared first) and other transfer failures.
// A time-out is not an error: read() and write() report the bytes moved.
//
// The object is not thread-safe; one caller at a time (the connector's
// usage lock sees to that).
class TLibusbDevice
{
public:
    TLibusbDevice(uint16_t vendorId, uint16_t productId, const std::string& serial, uint16_t interfaceClass,
                  uint16_t interfaceSubclass, uint16_t interfaceProtocol, bool zeroLengthPacket, int readTimeoutMs,
                  int writeTimeoutMs, uint32_t readBufferSize, uint32_t writeBufferSize, bool resetOnOpen);
    ~TLibusbDevice();

    TLibusbDevice(const TLibusbDevice&) = delete;
    TLibusbDevice& operator=(const TLibusbDevice&) = delete;

    void open();
    void close();
    bool isOpen() const { return m_handle != nullptr; }

    // Up to len bytes: buffered ones first, otherwise one bulk IN transfer
    // that waits at most timeoutMs (a negative value: the read time-out;
    // larger values are cut to it). 0 when nothing arrived in time.
    uint32_t read(uint8_t* buf, uint32_t len, int timeoutMs = -1);
    // Bytes received from the device and not yet read.
    uint32_t buffered() const { return m_readEnd - m_readPos; }
    // Sends one message of len bytes, waiting at most timeoutMs in all (a
    // negative value: the write time-out; larger values are cut to it).
    // Returns the number of bytes the device accepted: len, or fewer when
    // the time ran out.
    uint32_t write(const uint8_t* buf, uint32_t len, int timeoutMs = -1);

    uint16_t vendorId() const { return m_vendorId; }
    uint16_t productId() const { return m_productId; }
    const std::string& serial() const { return m_serial; }
    bool zeroLengthPacket() const { return m_zeroLengthPacket; }
    int readTimeout() const { return m_readTimeoutMs; }
    int writeTimeout() const { return m_writeTimeoutMs; }
    // Valid while open.
    int interfaceNumber() const { return m_interface; }
    uint16_t maxPacketSize() const { return m_maxPacketSize; }

private:
    // The steps of open(); each failure gives back what open() took so far
    // and throws NOT_OPEN.
    void openDevice(const std::string& identity);
    libusb_device_handle* openCandidate(libusb_device* device, const std::string& identity, std::string& failure);
    bool matchesSerial(libusb_device_handle* handle, uint8_t serialIndex) const;
    bool findInterface(libusb_device* device);
    void claimInterface(const std::string& identity);
    [[noreturn]] void failOpen(const std::string& message);
    void release();

    const uint16_t m_vendorId;
    const uint16_t m_productId;
    const std::string m_serial;
    const uint16_t m_interfaceClass;
    const uint16_t m_interfaceSubclass;
    const uint16_t m_interfaceProtocol;
    const bool m_zeroLengthPacket;
    const int m_readTimeoutMs;
    const int m_writeTimeoutMs;
    const uint32_t m_readBufferSize;
    const uint32_t m_writeBufferSize;
    const bool m_resetOnOpen;

    bool m_contextHeld = false;
    libusb_device_handle* m_handle = nullptr;
    int m_interface = -1;
    int m_altSetting = 0;
    unsigned char m_inEndpoint = 0;
    unsigned char m_outEndpoint = 0;
    uint16_t m_maxPacketSize = 0;
    bool m_claimed = false;
    bool m_kernelDriverDetached = false;

    std::vector<uint8_t> m_readBuffer;
    uint32_t m_readPos = 0;
    uint32_t m_readEnd = 0;
};

} // namespace transport
} // namespace thrift
} // namespace apache

#endif // KS_TLIBUSBDEVICE_H
