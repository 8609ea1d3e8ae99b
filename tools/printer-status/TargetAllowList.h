#ifndef PSM_TARGETALLOWLIST_H
#define PSM_TARGETALLOWLIST_H

#include <QJsonValue>
#include <QPair>
#include <QString>
#include <QVector>

// The addresses the exporter may be asked to probe: config.json's
// "exporterTargets", a list of IPv4 networks in CIDR form. Without that key
// the list has no networks and only the addresses of the CUPS queues of a
// supported model may be probed (the caller checks those).
class TargetAllowList
{
public:
    // From config.json's value of "exporterTargets" (undefined when the key
    // is absent). False, with the reason, for anything but a list of
    // "a.b.c.d/len" texts whose address has no bits set past its length.
    bool read(const QJsonValue& value, QString* error);

    bool hasNetworks() const { return m_configured; }
    bool contains(quint32 address) const;

    // A printer address in dotted form (the agent's rule: no leading zeros,
    // not 0.0.0.0, not ending in .255), in host byte order.
    static bool parseAddress(const QString& text, quint32* address);
    // Any four octets 0 to 255 without leading zeros (0.0.0.0 included).
    static bool parseDotted(const QString& text, quint32* address);

private:
    bool m_configured = false;
    QVector<QPair<quint32, quint32>> m_networks; // network, mask
};

#endif // PSM_TARGETALLOWLIST_H
