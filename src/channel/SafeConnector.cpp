#include "channel/SafeConnector.h"

#include "core/Log.h"
#include "sm4/Sm4Cipher.h"
#include "transport/TSecurityTransport.h"

#include <thrift/transport/TTransportException.h>

using apache::thrift::transport::TNonblockingSecurityTransport;
using apache::thrift::transport::TSecurityTransport;
using apache::thrift::transport::TTransportException;

SafeConnector::SafeConnector(std::shared_ptr<Connector> inner, const QString& keyText)
    : Connector(inner->sharedOpen())
    , m_inner(std::move(inner))
{
    const QByteArray key = hexToBytes(keyText);
    auto cipher = std::make_shared<Sm4Cipher>(reinterpret_cast<const uint8_t*>(key.constData()),
                                              static_cast<size_t>(key.size()));
    const auto keyLength = static_cast<uint32_t>(key.size());
    if (m_inner->connectorType() == QLatin1String("usb")) {
        m_transport = std::make_shared<TNonblockingSecurityTransport>(m_inner->getTransport(), cipher, keyLength,
                                                                      BufferSize, MaxUsbFrameSize);
    } else {
        m_transport = std::make_shared<TSecurityTransport>(m_inner->getTransport(), cipher, keyLength, BufferSize,
                                                           MaxSocketFrameSize);
    }
}

QString SafeConnector::makeId(const QString& innerId, const QString& keyText)
{
    return innerId + QLatin1Char('|') + keyText;
}

QString SafeConnector::connectorType() const
{
    return m_inner->connectorType();
}

bool SafeConnector::open()
{
    return Connector::open();
}

void SafeConnector::close()
{
    Connector::close();
}
