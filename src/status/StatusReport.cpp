#include "status/StatusReport.h"

#include "core/Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <limits>

namespace
{
int flagCode(int32_t flag)
{
    for (int bit = 0; bit < 15; ++bit) {
        if (flag == (1 << bit)) {
            return 20001 + bit;
        }
    }
    return 0;
}
QJsonObject boundedToner(const QJsonObject& toner)
{
    QJsonObject bounded = toner;
    for (auto it = bounded.begin(); it != bounded.end(); ++it) {
        if (it.value().isString() && it.value().toString().size() > MaxReportedTextLength) {
            it.value() = it.value().toString().left(MaxReportedTextLength);
        } else if (it.value().isArray() || it.value().isObject()) {
            it.value() = QJsonValue(); // nothing the window reads
        }
    }
    return bounded;
}

bool tonersWithinLimits(const QJsonArray& toners)
{
    if (toners.size() > MaxReportedToners) {
        return false;
    }
    for (const QJsonValue& toner : toners) {
        if (boundedToner(toner.toObject()) != toner.toObject()) {
            return false;
        }
    }
    return true;
}
} // namespace

QStringList boundedStatusReport(const PrinterStatusReply& status, const QString& printerName)
{
    int total = 0;
    QStringList report = buildStatusReport(status, &total);
    if (total > report.size()) {
        PSM_LOG << printerName << "report cut to" << report.size() << "codes of" << total;
    }
    return report;
}

QString boundedDeviceInfo(const QString& info, const QJsonDocument* document, const QString& printerName)
{
    if (!document) {
        if (info.size() <= MaxDeviceInfoLength) {
            return info;
        }
        PSM_LOG << printerName << "device information cut to" << MaxDeviceInfoLength << "characters of" << info.size();
        return info.left(MaxDeviceInfoLength);
    }
    const QJsonObject reply = document->object();
    const QJsonValue model = reply.value(QStringLiteral("model"));
    const QJsonArray toners
        = reply.value(QStringLiteral("tonerGroup")).toObject().value(QStringLiteral("toners")).toArray();
    const bool modelFits = !model.isString() || model.toString().size() <= MaxReportedTextLength;
    if (info.size() <= MaxDeviceInfoLength && modelFits && tonersWithinLimits(toners)) {
        return info;
    }
    QJsonArray kept;
    for (int i = 0; i < toners.size() && i < MaxReportedToners; ++i) {
        kept.append(boundedToner(toners.at(i).toObject()));
    }
    QJsonObject bounded{ { QStringLiteral("tonerGroup"), QJsonObject{ { QStringLiteral("toners"), kept } } } };
    if (!model.isUndefined()) {
        bounded.insert(QStringLiteral("model"),
                       model.isString() ? model.toString().left(MaxReportedTextLength) : model);
    }
    PSM_LOG << printerName << "device information cut:" << info.size() << "characters," << toners.size()
            << "cartridges kept as" << kept.size();
    return QString::fromUtf8(QJsonDocument(bounded).toJson(QJsonDocument::Compact));
}

namespace
{
// A part of the detail text as the report reads it: "." and '"' left out.
QString detailPart(const std::string& detail, size_t from, size_t to)
{
    QString part = QString::fromUtf8(detail.data() + from, int(to - from));
    part.remove(QLatin1Char('.'));
    part.remove(QLatin1Char('"'));
    return part;
}
} // namespace

QStringList detailCodes(const std::string& detail, int limit, int* total)
{
    // Parts are counted, not made: only the count and the first codes are
    // needed, whatever the length of the text.
    QStringList codes;
    if (total) {
        *total = 0;
    }
    const size_t first = detail.find(',');
    const size_t second = first == std::string::npos ? first : detail.find(',', first + 1);
    if (second == std::string::npos) {
        return codes;
    }
    const size_t parts = size_t(std::count(detail.begin(), detail.end(), ',')) + 1;
    bool ok = false;
    const long long n = detailPart(detail, first + 1, second).toLongLong(&ok, 10);
    if (!ok || n <= 0 || size_t(n) != parts - 2) {
        return codes;
    }
    if (total) {
        *total = int(std::min<size_t>(parts - 2, size_t(std::numeric_limits<int>::max())));
    }
    for (size_t from = second + 1; codes.size() < limit;) {
        const size_t to = std::min(detail.find(',', from), detail.size());
        codes << detailPart(detail, from, to).left(6);
        if (to == detail.size()) {
            break;
        }
        from = to + 1;
    }
    return codes;
}

QStringList buildStatusReport(const PrinterStatusReply& status, int* total)
{
    QStringList report;
    const bool knownState = status.state >= 0 && status.state <= 8;
    report << QString::number(knownState ? 10000 + status.state : 0);
    int count = 1;
    if (status.state != 0 && status.state != 8) {
        count += int(status.flags.size());
        for (size_t i = 0; i < status.flags.size() && report.size() < MaxReportCodes; ++i) {
            report << QString::number(flagCode(status.flags[i]));
        }
    }
    int details = 0;
    report << detailCodes(status.detail, MaxReportCodes - report.size(), &details);
    if (total) {
        *total = count + details;
    }
    return report;
}
