#include "status/TonerInfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <climits>

namespace
{
// Levels are clamped to [0, 2^53]: every JSON number up to there is exact in
// a double, and level * 100 cannot overflow 64 bits.
constexpr qint64 MaxLevel = qint64(1) << 53;

qint64 readLevel(const QJsonValue& value)
{
    if (!value.isDouble()) {
        return 0;
    }
    const double d = value.toDouble();
    if (!(d > 0)) { // negative, zero or NaN
        return 0;
    }
    if (d >= double(MaxLevel)) {
        return MaxLevel;
    }
    return static_cast<qint64>(d);
}

// The full level after the display rules: both 0 means a bar of 0 to 100.
qint64 fullLevel(const TonerEntry& entry)
{
    const qint64 full = std::max<qint64>(entry.maxCapacity, 0);
    const qint64 remaining = std::max<qint64>(entry.suppliesLevel, 0);
    return (full == 0 && remaining == 0) ? 100 : full;
}
} // namespace

QList<TonerEntry> parseToners(const QString& tonerText, bool* ok)
{
    QList<TonerEntry> entries;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(tonerText.toUtf8(), &error);
    const bool parsed = !document.isNull() && error.error == QJsonParseError::NoError;
    if (ok) {
        *ok = parsed;
    }
    if (!parsed) {
        return entries;
    }
    const QJsonArray toners
        = document.object().value(QStringLiteral("tonerGroup")).toObject().value(QStringLiteral("toners")).toArray();
    for (const QJsonValue& value : toners) {
        const QJsonObject object = value.toObject();
        TonerEntry entry;
        entry.tonerId = object.value(QStringLiteral("tonerId")).toString();
        entry.tonerModel = object.value(QStringLiteral("tonerModel")).toString();
        entry.tonerColor = object.value(QStringLiteral("tonerColor")).toString();
        entry.tonerDescription = object.value(QStringLiteral("tonerDescription")).toString();
        entry.maxCapacity = readLevel(object.value(QStringLiteral("maxCapacity")));
        entry.suppliesLevel = readLevel(object.value(QStringLiteral("suppliesLevel")));
        if (!entry.tonerColor.isEmpty()) {
            entries.append(entry);
        }
    }
    return entries;
}

TonerView tonerView(const QString& tonerText, bool showTable)
{
    TonerView view;
    bool isJson = false;
    const QList<TonerEntry> entries = parseToners(tonerText, &isJson);
    if (!isJson) {
        view.label = tonerText;
        return view;
    }
    if (entries.isEmpty() && !showTable) {
        view.label = QString::fromUtf8(TonerFailureText);
    } else if (!entries.isEmpty() && showTable) {
        view.entries = entries;
    }
    return view;
}

QString tonerColorLabel(const QString& color)
{
    if (color == QLatin1String("magenta") || color == QLatin1String("Magenta")) {
        return QStringLiteral("品红墨盒剩余量:");
    }
    if (color == QLatin1String("yellow") || color == QLatin1String("Yellow")) {
        return QStringLiteral("黄色墨盒剩余量:");
    }
    if (color == QLatin1String("black") || color == QLatin1String("Black")) {
        return QStringLiteral("黑色墨盒剩余量:");
    }
    if (color == QLatin1String("cyan") || color == QLatin1String("Cyan")) {
        return QStringLiteral("青色墨盒剩余量:");
    }
    if (color == QLatin1String("red") || color == QLatin1String("Red")) {
        return QStringLiteral("红色墨盒剩余量:");
    }
    return QString();
}

TonerBar tonerBar(const TonerEntry& entry)
{
    qint64 full = fullLevel(entry);
    qint64 remaining = std::min(std::max<qint64>(entry.suppliesLevel, 0), full);
    // QProgressBar takes int: scale large levels down, keeping the ratio.
    while (full > INT_MAX) {
        full /= 2;
        remaining /= 2;
    }
    return { static_cast<int>(full), static_cast<int>(remaining) };
}

QString tonerPercentText(const TonerEntry& entry)
{
    const qint64 full = fullLevel(entry);
    const qint64 remaining = std::max<qint64>(entry.suppliesLevel, 0);
    const qint64 percent = full == 0 ? 0 : remaining * 100 / full;
    return QString::number(percent) + QLatin1Char('%');
}
