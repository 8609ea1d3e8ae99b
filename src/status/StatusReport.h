#ifndef PSM_STATUSREPORT_H
#define PSM_STATUSREPORT_H

#include "channel/PrinterOperations.h"

#include <QStringList>

// The report of one successful status read: the state code (10000 + state for
// states 0 to 8, else 0), one code per raised condition flag unless the state
// is 0 or 8 (20001 for flag 1 up to 20015 for flag 16384, else 0), then the
// printer's six-digit detail codes.
QStringList buildStatusReport(const PrinterStatusReply& status);

// The detail codes of a text of the form <anything>,<n>,<code 1>,...,<code n>
// once every "." and '"' is removed; each code is cut to six characters.
// Any other text contributes nothing.
QStringList detailCodes(const QString& detail);

#endif // PSM_STATUSREPORT_H
