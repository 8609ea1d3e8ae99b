#include "status/StatusReport.h"

#include "core/Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

QStringList boundedReport(QStringList report, const QString& printerName)
{
    if (report.size() > MaxReportCodes) {
        PSM_LOG << printerName << "report cut to" << MaxReportCodes << "codes of" << report.size();
        report.erase(report.begin() + MaxReportCodes, report.end());
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

QStringList detailCodes(const QString& text)
{
    QStringList codes;
    if (text.isEmpty()) {
        return codes;
    }
    QString detail = text;
    detail.remove(QLatin1Char('.'));
    detail.remove(QLatin1Char('"'));
    const QStringList parts = detail.split(QLatin1Char(','));
    if (parts.size() <= 2) {
        return codes;
    }
    bool ok = false;
    const int n = parts.at(1).toInt(&ok, 10);
    if (!ok || n <= 0 || n != parts.size() - 2) {
        return codes;
    }
    for (int i = 2; i < parts.size(); ++i) {
        codes << parts.at(i).left(6);
    }
    return codes;
}

QStringList buildStatusReport(const PrinterStatusReply& status)
{
    QStringList report;
    const bool knownState = status.state >= 0 && status.state <= 8;
    report << QString::number(knownState ? 10000 + status.state : 0);
    if (status.state != 0 && status.state != 8) {
        for (int32_t flag : status.flags) {
            report << QString::number(flagCode(flag));
        }
    }
    report << detailCodes(QString::fromStdString(status.detail));
    return report;
}
