#include "ui/TrayText.h"

#include "status/StatusMessage.h"

QStringList statusMessageList(const QStringList& statusList)
{
    if (statusList.isEmpty()) {
        return { QStringLiteral("打印机状态正常。") };
    }
    QStringList messages;
    messages.reserve(statusList.size());
    for (const QString& item : statusList) {
        if (item.startsWith(QStringLiteral("标识码"))) {
            messages.append(item);
        } else {
            // A text that is not a number reads as 0 and gets the fallback message.
            messages.append(statusMessage(item.trimmed().toInt()));
        }
    }
    return messages;
}

QStringList trayLines(const QStringList& messages)
{
    if (messages.size() <= MaxTrayLines) {
        return messages;
    }
    QStringList lines = messages.mid(0, MaxTrayLines);
    lines.append(QStringLiteral("……（共%1条）").arg(messages.size()));
    return lines;
}

QString trayBalloonText(const QString& printer, const QStringList& info)
{
    const QString lineBreak = QStringLiteral("\r\n");
    QString text = printer + lineBreak;
    for (const QString& line : info) {
        text += line + lineBreak;
    }
    return text;
}
