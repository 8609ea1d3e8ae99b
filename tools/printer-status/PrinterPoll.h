#ifndef PSM_PRINTERPOLL_H
#define PSM_PRINTERPOLL_H

#include "PrinterResult.h"

#include <QStringList>

#include <atomic>
#include <functional>

// The poll printer-status makes, for a run and for the exporter alike: the
// agent's discovery pass and the agent's poll of one printer, turned into a
// PrinterResult.
class PrinterPoll
{
public:
    // One discovery pass into the registry; the names it holds afterwards, in
    // order, less those keepsRecord leaves alone.
    static QStringList discover(const std::function<bool(const QString&)>& keepsRecord = {});

    // The registry's printer of that name, on the calling thread. A poll
    // whose connections were cut (cancelled set) drops them afterwards, so
    // that the next poll of that printer builds fresh ones.
    static PrinterResult poll(const QString& name, const std::atomic<bool>* cancelled = nullptr);

    // A printer that no queue names: polled under a record of its own that
    // lives as long as this poll. Its model is first read from the printer,
    // since there is no queue's make-and-model to compare with.
    static PrinterResult pollAddress(const QString& address, const std::atomic<bool>* cancelled = nullptr);

    // Every printer named, side by side on that many workers; the results
    // keep the order of names.
    static QList<PrinterResult> pollAll(const QStringList& names, int workers);

    // The registry name of pollAddress's record for that address. No queue
    // can be named so: CUPS refuses "/" in queue names.
    static QString addressRecordName(const QString& address);
    static bool isAddressRecord(const QString& name);
};

#endif // PSM_PRINTERPOLL_H
