#include "UsbConnector.h"

#include "Log.h"

#include <thrift/transport/TTransport.h>
#include <thrift/transport/TTransportException.h>

using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;

// Stand-in until the libusb transport stack lands: the link never opens.
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
    m_transport = std::make_shared<TTransport>();
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
    try {
        m_transport->open();
    } catch (const TTransportException& e) {
        PSM_LOG << QString::fromUtf8(e.what());
        return false;
    }
    return true;
}

void UsbConnector::close()
{
    try {
        m_transport->close();
    } catch (const TTransportException& e) {
        PSM_LOG << QString::fromUtf8(e.what());
    }
}
