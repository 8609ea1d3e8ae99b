#include "core/HostUtils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringView>
#include <QVector>

namespace
{
// 0 to 255 in plain decimal. No leading zeros: the print server and the
// socket layer read 010 as octal 8, and the printer would be polled at
// another host than shown.
int octetValue(QStringView part)
{
    if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.front() == QLatin1Char('0'))) {
        return -1;
    }
    int value = 0;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return -1;
        }
        value = value * 10 + (c.unicode() - '0');
    }
    return value <= 255 ? value : -1;
}
} // namespace

bool isValidIPv4(const QString& text)
{
    // Matched by hand rather than by a regular expression, whose compiled
    // form would keep the pattern compiler's pages in every agent.
    const QVector<QStringRef> parts = text.splitRef(QLatin1Char('.'));
    if (parts.size() != 4 || text == QLatin1String("0.0.0.0")) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const int value = octetValue(parts.at(i));
        // The last part is a host, not the broadcast address.
        if (value < 0 || (i == 3 && value == 255)) {
            return false;
        }
    }
    return true;
}

QByteArray toJsonArrayText(const std::vector<const char*>& strings)
{
    QJsonArray array;
    for (const char* s : strings) {
        array.append(QString::fromUtf8(s));
    }
    QByteArray text = QJsonDocument(array).toJson(QJsonDocument::Compact);
    const int nul = text.indexOf('\0');
    if (nul >= 0) {
        text.truncate(nul);
    }
    return text;
}
