#include "core/HostUtils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

bool isValidIPv4(const QString& text)
{
    // No leading zeros: the print server and the socket layer read 010 as
    // octal 8, and the printer would be polled at another host than shown.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("((25[0-5]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)\\.){3}(25[0-4]|2[0-4]\\d|1\\d\\d|[1-9]?\\d)")));
    return text != QLatin1String("0.0.0.0") && pattern.match(text).hasMatch();
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
