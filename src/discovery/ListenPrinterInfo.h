#ifndef PSM_LISTENPRINTERINFO_H
#define PSM_LISTENPRINTERINFO_H

#include "channel/UsbDiscovery.h"
#include "core/MessageRequest.h"
#include "core/PrinterContext.h"
#include "discovery/CupsDestinations.h"

#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// The printer watcher: keeps the printer registry in step with the host's
// CUPS queues and with the maker's printers on the USB bus. A worker thread
// of its own runs one scan pass a second until the object is destroyed.
//
// A pass lists the CUPS destinations once and answers every option read of
// the pass from that listing. The registry's lock is only taken inside the
// registry's own calls, never around a CUPS request or a printer call. A pass
// whose listing fails leaves the network printers as they are.

class ListenPrinterInfo : public QObject
{
    Q_OBJECT

public:
    struct Options {
        // Start the worker on construction. Without it the worker waits for
        // start() (so that signals can be connected before the first pass),
        // or tests call checkPrinter() themselves.
        bool startThread = true;
        std::chrono::milliseconds interval{ 1000 };
        // How a pass reads the destinations: one listing per pass (by default
        // a CUPS-Get-Printers request for just the attributes needed), or,
        // with everyReadListsAnew, a fresh cupsGetDests for the name list and
        // for every option read, as a plain reading of the CUPS API would do.
        CupsDestinationList::Source source = CupsDestinationList::Source::PrintersRequest;
        bool everyReadListsAnew = false;
        // Runs on the worker thread before every pass (tests make passes
        // fail with it).
        std::function<void()> beforePass;
        // Registry names that passes leave alone: records another part of
        // the program keeps for printers of its own (an exporter's probe
        // targets), which no queue or USB device confirms.
        std::function<bool(const QString& name)> keepsRecord;
    };

    explicit ListenPrinterInfo(QObject* parent = nullptr);
    explicit ListenPrinterInfo(const Options& options, QObject* parent = nullptr);
    // Ends the loop and waits for the running pass. Must not run on the
    // worker thread.
    ~ListenPrinterInfo() override;

    // Starts the worker thread of scan passes, once.
    void start();

    // One scan pass.
    void checkPrinter();
    PrinterOptions getPrinterOptions(const QString& name);
    QStringList getPrinterNames();
    void removePrinters(const QStringList& names);

    // USB registration, one step of every pass.
    void addUSBDevice(QStringList& knownNames, const QList<UsbDeviceRecord>& devices, const QStringList& candidates);
    bool hasQueueForUsbDevice(const QStringList& candidates, const QString& usbIdentity);
    void fetchUsbIdentity(const QString& usbIdentity);

    QString lastDeviceId() const;
    QString reserved() const { return m_reserved; }

    // The worker thread's system name ("checkPrinterThread" cut to the 15
    // characters Linux allows).
    static const char* const ThreadName;

signals:
    void sigAddPrinter(QString printerName);
    void sigAddUSBPrinter(QString printerName, QString printerID);
    void sigRemovePrinter(QString printerName);
    void sigShowMessageBox(MessageIcon icon, QString title, QString text, MessageButtons buttons);

private:
    // The device URI without the maker's "tav2://" and "OSTREL_" markers.
    static QString uriTail(const QString& deviceUri);
    // The printer address in a URI tail: scheme markers removed, then cut at
    // the first ":", "/" or "?" (a port, a path, options). Only an IPv4
    // address result names a network printer.
    static QString addressFromUriTail(const QString& tail);
    // The URI tail without scheme markers, cut at the first ":" only: what a
    // queue for a USB printer names it by.
    static QString deviceTextFromUriTail(const QString& tail);
    // Sets the record's model, and its toner support when the model table
    // says the model reports toner (never cleared here).
    static void applyModel(PrinterContext& printer, const QString& model);

    void run();
    CupsDestinationList listDestinations();
    // The names of the queues a pass watches: supported models, not on USB.
    QStringList watchedQueues();
    // The USB part of a pass whose CUPS listing failed.
    void checkUsbPrinters();
    static UsbWantedList wantedUsbDevices();
    // Registers or updates the network printer behind one watched queue and
    // strikes it from the known names.
    void confirmQueue(const QString& name, const QStringList& queues, QHash<QString, PrinterContextPtr>& contexts,
                      QStringList& knownNames);
    // Logs the first failed listing of an outage and the first good one
    // after it.
    void noteListing(bool ok, const QString& error);
    // Logs once per queue and address a dotted address that is not polled.
    void noteSkippedAddress(const QString& name, const QString& address);
    void setLastDeviceId(const QString& id);

    Options m_options;
    mutable QMutex m_lastDeviceIdLock;
    QString m_lastDeviceId;
    QString m_reserved;
    std::thread m_checkThread;
    std::atomic<bool> m_quit{ false };
    // Ends a CUPS request that the destructor would otherwise wait for.
    CupsCancel m_cupsCancel;
    // Lets the destructor cut the pause between two passes short.
    std::mutex m_sleepLock;
    std::condition_variable m_wake;
    // Pass state, touched by the passes' thread only.
    bool m_listingDown = false;
    CupsDestinationList m_lastListing; // the last one that worked
    QSet<QString> m_skippedAddresses;
};

#endif // PSM_LISTENPRINTERINFO_H
