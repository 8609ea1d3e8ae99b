#include "core/HostUtils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QVector>

#include <algorithm>

namespace
{
// The four parts of text when it is four dot-separated runs of ASCII digits;
// none otherwise.
QVector<QStringRef> dottedQuadParts(const QString& text)
{
    const QVector<QStringRef> parts = text.splitRef(QLatin1Char('.'));
    const auto digits = [](const QStringRef& part) {
        return !part.isEmpty() && std::all_of(part.begin(), part.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        });
    };
    return parts.size() == 4 && std::all_of(parts.begin(), parts.end(), digits) ? parts : QVector<QStringRef>();
}
} // namespace

bool isDottedQuad(const QString& text)
{
    // Checked by hand rather than by a regular expression, whose compiled
    // form would keep the pattern compiler's pages in every agent.
    return !dottedQuadParts(text).isEmpty();
}

bool isValidIPv4(const QString& text)
{
    const QVector<QStringRef> parts = dottedQuadParts(text);
    if (parts.isEmpty() || text == QLatin1String("0.0.0.0")) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const QStringRef& part = parts.at(i);
        // No leading zeros: the print server and the socket layer read 010 as
        // octal 8, and the printer would be polled at another host than shown.
        if (part.size() > 3 || (part.size() > 1 && part.startsWith(QLatin1Char('0')))) {
            return false;
        }
        // The last part is a host, not the broadcast address.
        if (part.toInt() > (i == 3 ? 254 : 255)) {
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
