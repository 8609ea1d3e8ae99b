#ifndef PSM_TRAYTEXT_H
#define PSM_TRAYTEXT_H

#include <QString>
#include <QStringList>

// The messages for one status report: each code becomes its message, an
// "标识码" item stays as it is, and an empty report reads "打印机状态正常。".
QStringList statusMessageList(const QStringList& statusList);

// A tray message lists at most this many messages; the rest are counted.
constexpr int MaxTrayLines = 5;

// The messages as a tray message shows them: the first MaxTrayLines, then
// "……" and how many there are in all. The log keeps the whole report.
QStringList trayLines(const QStringList& messages);

// The body of a tray balloon: the printer text and then every message, each
// followed by a line break.
QString trayBalloonText(const QString& printer, const QStringList& info);

#endif // PSM_TRAYTEXT_H
