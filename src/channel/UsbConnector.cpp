#include "channel/UsbConnector.h"

#include "core/Log.h"
#include "usbtransport/TLibusbDevice.h"
#include "usbtransport/TNonblockingUsbSocket.h"

#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TTransportException.h>

#include <QStringList>

using apache::thrift::transport::TBufferedTransport;
using apache::thrift::transport::TLibusbDevice;
using apache::thrift::transport::TNonblockingUsbSocket;
using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;

namespace
{

// The values the USB link is built with: the link's own transfer time-outs
// and buffer sizes, then the socket's time-outs and largest message.
constexpr int TransferTimeoutMs = 10000;
constexpr uint32_t TransferBufferSize = 8192;
constexpr int SocketTimeoutMs = 3000;
constexpr uint32_t MaxMessageSize = 4194304;
constexpr uint32_t BufferSize = 8192;

// Thrift's buffered transport flushes before it closes the transport below
// and skips that close when the flush throws, which would leave a broken USB
// link open (and the interface claimed). This one always closes the link.
class UsbBufferedTransport : public TBufferedTransport
{
public:
    UsbBufferedTransport(std::shared_ptr<TTransport> transport, uint32_t readSize, uint32_t writeSize)
        : TBufferedTransport(std::move(transport), readSize, writeSize)
    {
    }

    void close() override
    {
        try {
            flush();
        } catch (const TTransportException& e) {
            PSM_LOG << QString::fromUtf8(e.what());
        }
        transport_->close();
    }
};

} // namespace

UsbConnector::UsbConnector(const QString& vendorId, const QString& productId, const QString& serial, quint16 classA,
                           quint16 classB, bool deviceFlag)
    : Connector(false)
    , m_vendorId(static_cast<quint16>(vendorId.toUInt(nullptr, 16)))
    , m_productId(static_cast<quint16>(productId.toUInt(nullptr, 16)))
    , m_serial(serial)
    , m_classA(classA)
    , m_classB(classB)
    , m_deviceFlag(deviceFlag)
{
    // Innermost first: the libusb link (interface class and subclass from the
    // two class values, any protocol, the device flag asks for zero-length
    // packets, no reset on open), the socket shape over it, and a buffer.
    auto device = std::make_shared<TLibusbDevice>(m_vendorId, m_productId, serial.toStdString(), classA, classB, 0,
                                                  deviceFlag, TransferTimeoutMs, TransferTimeoutMs, TransferBufferSize,
                                                  TransferBufferSize, false);
    auto socket = std::make_shared<TNonblockingUsbSocket>(device, SocketTimeoutMs, SocketTimeoutMs, MaxMessageSize);
    m_transport = std::make_shared<UsbBufferedTransport>(socket, BufferSize, BufferSize);
}

QString UsbConnector::makeId(const QString& vendorId, const QString& productId, const QString& serial, quint16 classA,
                             quint16 classB)
{
    return QStringList{ vendorId.toUpper(), productId.toUpper(), serial, QString::number(classA),
                        QString::number(classB) }
        .join(QLatin1Char(':'));
}

QString UsbConnector::connectorType() const
{
    return QStringLiteral("usb");
}

bool UsbConnector::open()
{
    return Connector::open();
}

void UsbConnector::close()
{
    Connector::close();
}
