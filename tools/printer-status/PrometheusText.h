#ifndef PSM_PROMETHEUSTEXT_H
#define PSM_PROMETHEUSTEXT_H

#include "PrinterResult.h"

#include <QByteArray>
#include <QDateTime>

// One poll in the Prometheus text exposition format 0.0.4, as the node
// exporter's textfile collector reads it.
QByteArray prometheusText(const QList<PrinterResult>& results, const QDateTime& pollTime);

// The exporter's answer to one probe: printer_probe_success (the poll got the
// printer's report) and how long the probe took.
QByteArray probeText(bool success, double seconds);

// printer_status_exporter_build_info with the program's version.
QByteArray buildInfoText();

// A label value with backslash, double quote and line feed escaped.
QString escapeLabelValue(const QString& value);

#endif // PSM_PROMETHEUSTEXT_H
