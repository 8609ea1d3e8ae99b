#ifndef PSM_TONERINFO_H
#define PSM_TONERINFO_H

#include <QList>
#include <QString>

// The toner information a printer reports with its device information, as
// the monitor window shows it: one row per cartridge with a label, a level
// bar and a percentage.

constexpr const char* TonerFailureText = "无法连接打印机，获取墨粉余量失败";

struct TonerEntry {
    QString tonerId;
    QString tonerModel;
    QString tonerColor;
    QString tonerDescription;
    qint64 maxCapacity = 0;
    qint64 suppliesLevel = 0;
};

// What the toner line and table show for one tonerText.
struct TonerView {
    QString label; // text of the toner line
    QList<TonerEntry> entries; // table rows, empty when no table is shown
};

// The cartridges of a device-information reply; cartridges without a colour
// are dropped. ok is false when the text is not a JSON document.
QList<TonerEntry> parseToners(const QString& tonerText, bool* ok = nullptr);

// The toner line and table for a tonerText. A text that is not JSON is shown
// as it is (the failure text reaches the user this way). With no cartridge
// and showTable false the failure text is shown; with cartridges and
// showTable true the table is shown; otherwise nothing.
TonerView tonerView(const QString& tonerText, bool showTable);

// "品红墨盒剩余量:" and so on; an unknown colour gives an empty text.
QString tonerColorLabel(const QString& color);

// Level bar of a cartridge, already scaled into int range for QProgressBar.
struct TonerBar {
    int maximum = 100;
    int value = 0;
};
TonerBar tonerBar(const TonerEntry& entry);

// remaining * 100 / full in 64-bit integer division followed by "%", "0%"
// when the full level is 0.
QString tonerPercentText(const TonerEntry& entry);

#endif // PSM_TONERINFO_H
