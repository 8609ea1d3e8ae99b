#include "PrinterResult.h"

#include "status/StatusMessage.h"

bool isNormal(const QStringList& codes)
{
    static const QStringList normal{ "10000", "10001", "10007", "10008" };
    return codes.size() == 1 && normal.contains(codes.first());
}

bool gotReport(const QStringList& codes)
{
    if (codes.isEmpty()) {
        return false;
    }
    const int first = codes.first().toInt();
    return first == 0 || (first >= 10000 && first <= 10008);
}

QString messageFor(const QString& code)
{
    bool ok = false;
    const int value = code.toInt(&ok);
    if (ok && value == StatusCode::ChannelBusy) {
        return QStringLiteral("通道忙，请稍后再查询(999999)");
    }
    return statusMessage(ok ? value : 0);
}

QString visibleText(const QString& text)
{
    QString visible;
    visible.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) {
            visible += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        } else {
            visible += c;
        }
    }
    return visible;
}
