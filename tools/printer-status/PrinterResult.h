#ifndef PSM_PRINTERRESULT_H
#define PSM_PRINTERRESULT_H

#include "status/TonerInfo.h"

#include <QList>
#include <QString>
#include <QStringList>

// One printer's poll as printer-status prints it.
struct PrinterResult {
    QString name;
    QString address;
    bool usb = false;
    QString model;
    QString deviceId; // as the printer gave it, empty when not read
    QStringList codes; // empty when the poll did not end in time
    QList<TonerEntry> toners;
    QString tonerNote; // failure text when the toner could not be read
    double pollSeconds = 0;
};

// Only these states, each alone, count as normal (the exit-status rule).
bool isNormal(const QStringList& codes);

// A report came back: the first code is a printer state, not one of the
// poll's own failures (3000x) or the busy channel.
bool gotReport(const QStringList& codes);

// The message shown for a code of a report.
QString messageFor(const QString& code);

// A printer's or print server's text for the plain output: control
// characters are written as \xHH, so that a printer's text can neither start
// a line of its own nor send escape sequences to the terminal.
QString visibleText(const QString& text);

#endif // PSM_PRINTERRESULT_H
