#ifndef PSM_STATUSREPORT_H
#define PSM_STATUSREPORT_H

#include "channel/PrinterOperations.h"

#include <QStringList>

class QJsonDocument;

// What one report may carry into the GUI thread, whatever a printer sends.
constexpr int MaxReportCodes = 64;
constexpr int MaxReportedToners = 16;
constexpr int MaxReportedTextLength = 256; // per text of a cartridge, and the model
constexpr int MaxDeviceInfoLength = 65536; // the whole device-information text

// The report of one successful status read: the state code (10000 + state for
// states 0 to 8, else 0), one code per raised condition flag unless the state
// is 0 or 8 (20001 for flag 1 up to 20015 for flag 16384, else 0), then the
// printer's six-digit detail codes. Only the first MaxReportCodes codes are
// made: a printer may send a million. total, when given, gets how many codes
// the whole report holds.
QStringList buildStatusReport(const PrinterStatusReply& status, int* total = nullptr);

// The same, with a cut logged under printerName.
QStringList boundedStatusReport(const PrinterStatusReply& status, const QString& printerName);

// The detail codes of a text of the form <anything>,<n>,<code 1>,...,<code n>
// once every "." and '"' is removed; each code is cut to six characters.
// Any other text contributes nothing. At most limit codes are made; total,
// when given, gets how many the text holds.
QStringList detailCodes(const std::string& detail, int limit, int* total = nullptr);

// The device-information text to keep for the window: the reply as received
// when it is within the limits above, otherwise (logged under printerName)
// for a JSON reply (document) its model and at most MaxReportedToners
// cartridges with their texts cut, and for any other text its first
// MaxDeviceInfoLength characters.
QString boundedDeviceInfo(const QString& info, const QJsonDocument* document, const QString& printerName);

#endif // PSM_STATUSREPORT_H
