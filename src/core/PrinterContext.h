#ifndef PSM_PRINTERCONTEXT_H
#define PSM_PRINTERCONTEXT_H

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <memory>

// One entry of a printer's status history as the monitor window keeps it.
struct StatusEntry {
    QDateTime time;
    QStringList statusList;
    QString text;
};

// Everything the agent knows about one printer, network or USB.
//
// The watcher and the poller write fields from their threads while the GUI
// thread reads them, so every accessor takes a small lock private to the
// record. That lock is held only inside one accessor and never while calling
// out, so it never nests with mutex() or any other lock.
class PrinterContext
{
public:
    PrinterContext(const QString& ip, const QString& printerName, quint16 usbClassA = 0, quint16 usbClassB = 0);

    QString ip() const;
    void setIp(const QString& value);
    QString printerName() const;
    void setPrinterName(const QString& name);
    bool printerNameIsEmpty() const;
    bool isUSB() const;
    void setIsUSB(bool usb);
    QString tonerText() const;
    void setTonerText(const QString& text);
    QList<StatusEntry> statusEntries() const;
    void setStatusEntries(const QList<StatusEntry>& entries);
    void appendStatusEntry(const StatusEntry& entry);
    QStringList connectorIds() const;
    void setConnectorIds(const QStringList& ids);
    QString model() const;
    void setModel(const QString& model);
    quint16 usbClassA() const;
    void setUsbClassA(quint16 value);
    quint16 usbClassB() const;
    void setUsbClassB(quint16 value);
    QString usbDetailA() const;
    void setUsbDetailA(const QString& text);
    QString usbDetailB() const;
    void setUsbDetailB(const QString& text);
    qint32 kind() const;
    void setKind(qint32 kind);
    bool supportToner() const;
    void setSupportToner(bool support);
    // The printer's own id as its last successful device-id read gave it.
    QString deviceId() const;
    void setDeviceId(const QString& id);

    // Guards connector selection for this printer (see getManageConnector).
    QMutex& mutex() { return m_mutex; }

private:
    mutable QMutex m_fieldLock;
    QString m_ip;
    QString m_printerName;
    bool m_isUSB = false;
    QString m_tonerText;
    QList<StatusEntry> m_statusEntries;
    QStringList m_connectorIds;
    QString m_model;
    QMutex m_mutex;
    quint16 m_usbClassA = 0;
    quint16 m_usbClassB = 0;
    QString m_usbDetailA;
    QString m_usbDetailB;
    qint32 m_kind = 0;
    bool m_supportToner = false;
    QString m_deviceId;
};

using PrinterContextPtr = std::shared_ptr<PrinterContext>;

#endif // PSM_PRINTERCONTEXT_H
