#ifndef PSM_USBCONNECTOR_H
#define PSM_USBCONNECTOR_H

#include "channel/Connector.h"

#include <QtGlobal>

// A bulk USB link to a printer, opened on the first call and kept open for
// the following ones. vendorId and productId are hexadecimal texts; the two
// class values pick the USB interface (class and subclass); deviceFlag is
// false for the TR7200n and TR3200n models.
class UsbConnector : public Connector
{
public:
    UsbConnector(const QString& vendorId, const QString& productId, const QString& serial, quint16 classA,
                 quint16 classB, bool deviceFlag);

    // "VVVV:PPPP:serial:classA:classB" with the ids upper-cased.
    static QString makeId(const QString& vendorId, const QString& productId, const QString& serial, quint16 classA,
                          quint16 classB);

    QString connectorType() const override;
    bool open() override;
    void close() override;

    quint16 vendorId() const { return m_vendorId; }
    quint16 productId() const { return m_productId; }
    QString serial() const { return m_serial; }
    quint16 classA() const { return m_classA; }
    quint16 classB() const { return m_classB; }
    bool deviceFlag() const { return m_deviceFlag; }

private:
    quint16 m_vendorId;
    quint16 m_productId;
    QString m_serial;
    quint16 m_classA;
    quint16 m_classB;
    bool m_deviceFlag;
};

#endif // PSM_USBCONNECTOR_H
