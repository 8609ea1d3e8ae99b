#include "channel/Connector.h"

#include "core/Log.h"
#include "core/ResultCodes.h"

#include <QDebug>
#include <QStringList>
#include <QUuid>

#include <thrift/transport/TTransport.h>
#include <thrift/transport/TTransportException.h>

const char* const ChannelKey = "3a 7c 91 e4 05 b8 6d 2f c3 58 1e a9 74 d0 6b 82";

Connector::Connector(bool sharedOpen)
    : m_sharedOpen(sharedOpen)
{
}

Connector::~Connector()
{
    try {
        if (m_transport && m_transport->isOpen()) {
            m_transport->close();
        }
    } catch (...) {
    }
}

bool Connector::open()
{
    try {
        m_transport->open();
    } catch (const apache::thrift::transport::TTransportException& e) {
        PSM_LOG << QString::fromUtf8(e.what());
        return false;
    }
    return true;
}

void Connector::close()
{
    try {
        m_transport->close();
    } catch (const apache::thrift::transport::TTransportException& e) {
        PSM_LOG << QString::fromUtf8(e.what());
    }
}

bool Connector::transportIsOpen() const
{
    return m_transport && m_transport->isOpen();
}

bool Connector::acceptsToken(const QString& token) const
{
    QMutexLocker locker(&m_stateLock);
    return m_ownerToken.isEmpty() || m_ownerToken == token;
}

int Connector::acquire(QString& token)
{
    if (!m_usageLock.tryLock(UsageWaitMs)) {
        return CallBusy;
    }
    m_usageHeld = true;
    m_stateLock.lock();

    if (transportIsOpen()) {
        m_stateLock.unlock();
        return CallOk;
    }

    int result = CallFailed;
    if (!m_sharedOpen && !m_ownerToken.isEmpty()) {
        result = CallBusy;
    } else {
        bool opened = false;
        try {
            opened = open();
        } catch (...) {
            m_usageHeld = false;
            m_usageLock.unlock();
            m_stateLock.unlock();
            throw;
        }
        if (opened) {
            m_opened = true;
            m_ownerToken = QUuid::createUuid().toString();
            token = m_ownerToken;
            m_stateLock.unlock();
            return CallOk;
        }
    }

    m_usageHeld = false;
    m_usageLock.unlock();
    m_stateLock.unlock();
    return result;
}

bool Connector::release(const QString& token, bool force)
{
    m_stateLock.lock();
    const bool accepted = m_ownerToken.isEmpty() || m_ownerToken == token;

    if (force) {
        // After a failed call the link cannot be trusted, whoever opened it:
        // every call after the first on a kept-open link carries an empty
        // token, and the link must not stay open broken.
        if (transportIsOpen()) {
            close();
        }
        m_opened = false;
        m_ownerToken.clear();
    } else if (accepted && transportIsOpen() && (connectorType() != QLatin1String("usb") || !m_keepOpen)) {
        close();
        m_opened = false;
        m_ownerToken.clear();
    }

    if (m_usageHeld) {
        m_usageHeld = false;
        m_usageLock.unlock();
    }
    m_stateLock.unlock();
    return accepted;
}

QByteArray hexToBytes(const QString& text)
{
    QByteArray bytes;
    const QStringList parts = text.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok, 16);
        if (!ok) {
            qCritical() << "invalid hex string: " << part;
            break;
        }
        bytes.append(static_cast<char>(value & 0xff));
    }
    return bytes;
}
