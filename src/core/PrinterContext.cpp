#include "core/PrinterContext.h"

#include <QMutexLocker>

PrinterContext::PrinterContext(const QString& ip, const QString& printerName, quint16 usbClassA, quint16 usbClassB)
    : m_ip(ip)
    , m_printerName(printerName)
    , m_usbClassA(usbClassA)
    , m_usbClassB(usbClassB)
{
}

QString PrinterContext::ip() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_ip;
}

void PrinterContext::setIp(const QString& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_ip = value;
}

QString PrinterContext::printerName() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_printerName;
}

void PrinterContext::setPrinterName(const QString& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_printerName = value;
}

bool PrinterContext::isUSB() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_isUSB;
}

void PrinterContext::setIsUSB(bool value)
{
    QMutexLocker locker(&m_fieldLock);
    m_isUSB = value;
}

QString PrinterContext::tonerText() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_tonerText;
}

void PrinterContext::setTonerText(const QString& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_tonerText = value;
}

QList<StatusEntry> PrinterContext::statusEntries() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_statusEntries;
}

void PrinterContext::setStatusEntries(const QList<StatusEntry>& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_statusEntries = value;
}

QStringList PrinterContext::connectorIds() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_connectorIds;
}

void PrinterContext::setConnectorIds(const QStringList& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_connectorIds = value;
}

QString PrinterContext::model() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_model;
}

void PrinterContext::setModel(const QString& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_model = value;
}

quint16 PrinterContext::usbClassA() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_usbClassA;
}

void PrinterContext::setUsbClassA(quint16 value)
{
    QMutexLocker locker(&m_fieldLock);
    m_usbClassA = value;
}

quint16 PrinterContext::usbClassB() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_usbClassB;
}

void PrinterContext::setUsbClassB(quint16 value)
{
    QMutexLocker locker(&m_fieldLock);
    m_usbClassB = value;
}

QString PrinterContext::usbDetailA() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_usbDetailA;
}

void PrinterContext::setUsbDetailA(const QString& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_usbDetailA = value;
}

QString PrinterContext::usbDetailB() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_usbDetailB;
}

void PrinterContext::setUsbDetailB(const QString& value)
{
    QMutexLocker locker(&m_fieldLock);
    m_usbDetailB = value;
}

qint32 PrinterContext::kind() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_kind;
}

void PrinterContext::setKind(qint32 value)
{
    QMutexLocker locker(&m_fieldLock);
    m_kind = value;
}

bool PrinterContext::supportToner() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_supportToner;
}

void PrinterContext::setSupportToner(bool value)
{
    QMutexLocker locker(&m_fieldLock);
    m_supportToner = value;
}

QString PrinterContext::deviceId() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_deviceId;
}

void PrinterContext::setDeviceId(const QString& id)
{
    QMutexLocker locker(&m_fieldLock);
    m_deviceId = id;
}

bool PrinterContext::printerNameIsEmpty() const
{
    QMutexLocker locker(&m_fieldLock);
    return m_printerName.isEmpty();
}

void PrinterContext::appendStatusEntry(const StatusEntry& entry)
{
    QMutexLocker locker(&m_fieldLock);
    m_statusEntries.append(entry);
}
