#ifndef PSM_HOSTUTILS_H
#define PSM_HOSTUTILS_H

#include <QByteArray>
#include <QString>

#include <vector>

// True for a network printer's address: four dotted decimal octets without
// leading zeros, the last one 0 to 254 (a broadcast address ending in .255 is
// not a printer), and not 0.0.0.0.
bool isValidIPv4(const QString& text);

// Four dot-separated runs of ASCII digits (10.0.0.1, but also 010.0.0.300):
// meant as an IPv4 address, whether or not a printer can be polled there.
bool isDottedQuad(const QString& text);

// The strings as one compact JSON array, UTF-8 encoded, e.g. ["mac","model"].
QByteArray toJsonArrayText(const std::vector<const char*>& strings);

#endif // PSM_HOSTUTILS_H
