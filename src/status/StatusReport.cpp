#include "status/StatusReport.h"

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
} // namespace

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
