#include "HostUtils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

bool isValidIPv4(const QString& text)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("((2[0-4]\\d|25[0-5]|[01]?\\d\\d?)\\.){3}(2[0-4]\\d|25[0-4]|[01]?\\d\\d?)")));
    return pattern.match(text).hasMatch();
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
