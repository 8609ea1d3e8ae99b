#ifndef PSM_LISTENPRINTERINFO_H
#define PSM_LISTENPRINTERINFO_H

#include "CupsDestinations.h"
#include "UsbDiscovery.h"

#include <QMessageBox>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// The printer watcher: keeps the printer registry in step with the host's
// CUPS queues and with the maker's printers on the USB bus. A worker thread
// of its own runs one scan pass a second until the object is destroyed.
//
// A pass lists the CUPS destinations once and answers every option read of
// the pass from that listing. The registry's lock is only taken inside the
// registry's own calls, never around a CUPS request or a printer call.
class PrinterContext;

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
    void sigShowMessageBox(QMessageBox::Icon icon, QString title, QString text, QMessageBox::StandardButtons buttons);

private:
    // The device URI without the maker's "tav2://" and "OSTREL_" markers.
    static QString uriTail(const QString& deviceUri);
    // The printer address in a URI tail: scheme markers removed, a port
    // dropped. Only an IPv4 address result names a network printer.
    static QString addressFromUriTail(const QString& tail);
    // Sets the record's model, and its toner support when the model table
    // says the model reports toner (never cleared here).
    static void applyModel(PrinterContext& printer, const QString& model);

    void run();
    CupsDestinationList listDestinations();
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
};

#endif // PSM_LISTENPRINTERINFO_H
