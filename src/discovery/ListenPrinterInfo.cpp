#include "discovery/ListenPrinterInfo.h"

#include "core/HostUtils.h"
#include "core/Log.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"

#include <pthread.h>

#include <exception>
#include <iterator>
#include <optional>

const char* const ListenPrinterInfo::ThreadName = "checkPrinterThr";

namespace
{

// The destination listing of the pass that runs on this thread. Every option
// read of a pass is answered from the one listing the pass took at its start;
// outside a pass (or when each read lists anew) the reads ask CUPS.
struct PassListing {
    const ListenPrinterInfo* watcher = nullptr;
    const CupsDestinationList* destinations = nullptr;
    // Why a listing of the pass failed (when each read lists anew).
    QString error;
};
thread_local PassListing t_passListing;

class PassListingScope
{
public:
    PassListingScope(const ListenPrinterInfo* watcher, const CupsDestinationList* destinations)
        : m_saved(t_passListing)
    {
        t_passListing = { watcher, destinations, QString() };
    }
    ~PassListingScope() { t_passListing = m_saved; }
    PassListingScope(const PassListingScope&) = delete;
    PassListingScope& operator=(const PassListingScope&) = delete;

private:
    PassListing m_saved;
};

QString removeAll(QString text, std::initializer_list<const char*> markers)
{
    for (const char* marker : markers) {
        text.remove(QLatin1String(marker));
    }
    return text;
}

// The pass's lines name the pass, whichever helper writes them.
QDebug passLog()
{
    return ::logLine("checkPrinter");
}

QString cutAtFirstOf(QString text, QLatin1String separators)
{
    for (int i = 0; i < text.size(); ++i) {
        if (QString(separators).contains(text.at(i))) {
            text.truncate(i);
            break;
        }
    }
    return text;
}

} // namespace

ListenPrinterInfo::ListenPrinterInfo(QObject* parent)
    : ListenPrinterInfo(Options(), parent)
{
}

ListenPrinterInfo::ListenPrinterInfo(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
{
    if (m_options.startThread) {
        start();
    }
}

void ListenPrinterInfo::start()
{
    if (m_checkThread.joinable()) {
        return;
    }
    m_checkThread = std::thread([this] { run(); });
    pthread_setname_np(m_checkThread.native_handle(), ThreadName);
}

ListenPrinterInfo::~ListenPrinterInfo()
{
    {
        std::lock_guard<std::mutex> lock(m_sleepLock);
        m_quit = true;
    }
    m_wake.notify_all();
    m_cupsCancel.cancel();
    if (m_checkThread.joinable()) {
        if (m_checkThread.get_id() == std::this_thread::get_id()) {
            // Joining itself would throw; the loop sees quit and ends.
            m_checkThread.detach();
        } else {
            m_checkThread.join();
        }
    }
}

void ListenPrinterInfo::run()
{
    // The loop is a lambda so that its log lines carry the name "operator()",
    // which is how the agent's diagnostics have always named this thread.
    auto loop = [this] {
        // A failing pass must not end discovery: the next pass may well
        // work. The same failure pass after pass is logged once.
        QString lastFailure;
        while (!m_quit) {
            QString failure;
            try {
                if (m_options.beforePass) {
                    m_options.beforePass();
                }
                checkPrinter();
            } catch (const std::exception& e) {
                failure = QString::fromLocal8Bit(e.what());
            } catch (...) {
                failure = QStringLiteral("unknown exception");
            }
            if (!failure.isNull() && failure != lastFailure) {
                PSM_LOG << failure;
            }
            lastFailure = failure;
            std::unique_lock<std::mutex> lock(m_sleepLock);
            m_wake.wait_for(lock, m_options.interval, [this] { return m_quit.load(); });
        }
        PSM_LOG << "checkPrinterThread quit";
    };
    loop();
}

CupsDestinationList ListenPrinterInfo::listDestinations()
{
    CupsDestinationList list = CupsDestinationList::fetch(m_options.source, &m_cupsCancel);
    if (!list.ok() && t_passListing.watcher == this && t_passListing.error.isEmpty()) {
        t_passListing.error = list.error();
    }
    return list;
}

QStringList ListenPrinterInfo::getPrinterNames()
{
    if (t_passListing.watcher == this && t_passListing.destinations) {
        return t_passListing.destinations->names();
    }
    return listDestinations().names();
}

PrinterOptions ListenPrinterInfo::getPrinterOptions(const QString& name)
{
    if (t_passListing.watcher == this && t_passListing.destinations) {
        return t_passListing.destinations->options(name);
    }
    return listDestinations().options(name);
}

void ListenPrinterInfo::applyModel(PrinterContext& printer, const QString& model)
{
    printer.setModel(model);
    if (ModelTable::findModelByText(model).supportToner) {
        printer.setSupportToner(true);
    }
}

QString ListenPrinterInfo::uriTail(const QString& deviceUri)
{
    return removeAll(deviceUri, { "tav2://", "OSTREL_" });
}

namespace
{
QString withoutSchemeMarkers(const QString& tail)
{
    return removeAll(tail, { "tav2://", "tav2:", "OSTREL_", "ostrelport", "socket://", "usb://", "USB://" });
}
} // namespace

QString ListenPrinterInfo::addressFromUriTail(const QString& tail)
{
    return cutAtFirstOf(withoutSchemeMarkers(tail), QLatin1String(":/?"));
}

QString ListenPrinterInfo::deviceTextFromUriTail(const QString& tail)
{
    return cutAtFirstOf(withoutSchemeMarkers(tail), QLatin1String(":"));
}

void ListenPrinterInfo::checkPrinter()
{
    std::optional<CupsDestinationList> listing;
    if (!m_options.everyReadListsAnew) {
        listing = listDestinations();
    }
    PassListingScope scope(this, listing ? &*listing : nullptr);
    // A listing cut short by the destructor says nothing about the queues.
    if (m_quit) {
        return;
    }
    // Nor does a failed one (cupsd restarting, stopped, silent): such a pass
    // leaves the network printers alone, or every one of them would go and
    // come back with an empty history.
    if (listing && !listing->ok()) {
        noteListing(false, listing->error());
        checkUsbPrinters();
        return;
    }
    if (listing) {
        m_lastListing = *listing;
    }

    PrinterRegistry& registry = PrinterRegistry::instance();
    QHash<QString, PrinterContextPtr> contexts = registry.getPrinterContexts();
    if (m_options.keepsRecord) {
        for (auto it = contexts.begin(); it != contexts.end();) {
            it = m_options.keepsRecord(it.key()) ? contexts.erase(it) : std::next(it);
        }
    }
    QStringList knownNames = contexts.keys();

    // When each read lists anew, one that failed leaves its queue
    // unconfirmed: only a pass whose every listing worked may take printers
    // away.
    auto listingFailed = [this] {
        if (t_passListing.error.isEmpty()) {
            return false;
        }
        noteListing(false, t_passListing.error);
        return true;
    };
    const QStringList candidates = watchedQueues();
    if (listingFailed()) {
        return;
    }

    const QList<UsbDeviceRecord> usbDevices = scanUsbDevices(wantedUsbDevices());

    for (const QString& name : candidates) {
        confirmQueue(name, candidates, contexts, knownNames);
    }
    if (listingFailed()) {
        return;
    }
    addUSBDevice(knownNames, usbDevices, candidates);
    if (listingFailed()) {
        return;
    }
    removePrinters(knownNames);
    noteListing(true, QString());
}

// The USB bus is still read while CUPS cannot be asked: which devices are
// served by a queue is taken from the last listing that worked (none on a
// host whose CUPS never answered), and only USB printers may go.
void ListenPrinterInfo::checkUsbPrinters()
{
    PassListingScope scope(this, &m_lastListing);
    const QStringList candidates = watchedQueues();
    QStringList knownNames;
    const QHash<QString, PrinterContextPtr> contexts = PrinterRegistry::instance().getPrinterContexts();
    for (auto it = contexts.cbegin(); it != contexts.cend(); ++it) {
        if (it.value()->isUSB() && !(m_options.keepsRecord && m_options.keepsRecord(it.key()))) {
            knownNames.append(it.key());
        }
    }
    addUSBDevice(knownNames, scanUsbDevices(wantedUsbDevices()), candidates);
    removePrinters(knownNames);
}

UsbWantedList ListenPrinterInfo::wantedUsbDevices()
{
    UsbWantedList wanted;
    for (const ModelRecord& model : ModelTable::getModels()) {
        wanted.append(qMakePair(model.vid, model.pid));
    }
    return wanted;
}

QStringList ListenPrinterInfo::watchedQueues()
{
    QStringList candidates = getPrinterNames();
    for (int i = candidates.size() - 1; i >= 0; --i) {
        const PrinterOptions options = getPrinterOptions(candidates.at(i));
        const QString makeAndModel = options.value(MakeAndModelOption);
        if (!ModelTable::isSupportedModel(makeAndModel)) {
            candidates.removeAt(i);
        } else if (options.contains(DeviceUriOption)) {
            const QString uri = options.value(DeviceUriOption);
            if (uri.contains(QLatin1String("USB")) || uri.contains(QLatin1String("usb"))) {
                candidates.removeAt(i);
            }
        }
    }
    return candidates;
}

void ListenPrinterInfo::confirmQueue(const QString& name, const QStringList& queues,
                                     QHash<QString, PrinterContextPtr>& contexts, QStringList& knownNames)
{
    const PrinterOptions options = getPrinterOptions(name);
    const QString tail = uriTail(options.value(DeviceUriOption));
    const QString makeAndModel = options.value(MakeAndModelOption);
    if (!ModelTable::isSupportedModel(makeAndModel)) {
        return;
    }
    const QString address = addressFromUriTail(tail);
    if (!isValidIPv4(address)) {
        noteSkippedAddress(name, address);
        return;
    }

    // A printer once registered under its address gives way to the queue. A
    // queue named after its own address is that very printer, and so is its
    // record while that queue is listed: taken away here, it would come back
    // at the next pass, and go again the pass after.
    PrinterRegistry& registry = PrinterRegistry::instance();
    if (address != name && contexts.contains(address) && !queues.contains(address)) {
        contexts.remove(address);
        knownNames.removeOne(address); // announced here, not again at the end
        emit sigRemovePrinter(address);
        registry.removePrinterContext(address);
    }

    if (knownNames.contains(name)) {
        if (const PrinterContextPtr printer = contexts.value(name)) {
            if (printer->isUSB()) {
                printer->setIsUSB(false);
            }
            if (printer->ip() != address) {
                printer->setIp(address);
            }
            if (printer->model() != makeAndModel) {
                applyModel(*printer, makeAndModel);
            }
        }
        knownNames.removeOne(name);
    } else {
        passLog() << "printer name :" << name << "printer ip :" << address;
        const PrinterContextPtr printer = registry.addPrinterContext(address, name, false, 0, 0);
        applyModel(*printer, makeAndModel);
        emit sigAddPrinter(name);
    }
}

void ListenPrinterInfo::noteListing(bool ok, const QString& error)
{
    if (!ok && !m_listingDown) {
        passLog() << "cups listing failed, printers kept:" << error;
    } else if (ok && m_listingDown) {
        passLog() << "cups listing works again";
    }
    m_listingDown = !ok;
}

void ListenPrinterInfo::noteSkippedAddress(const QString& name, const QString& address)
{
    // Leading zeros read as octal by the print server, 0.0.0.0: the printer
    // would be polled at another host than the one shown.
    if (!isDottedQuad(address)) {
        return;
    }
    const QString key = name + QLatin1Char('\n') + address;
    if (!m_skippedAddresses.contains(key)) {
        m_skippedAddresses.insert(key);
        passLog() << "printer ip skipped :" << name << address;
    }
}

void ListenPrinterInfo::removePrinters(const QStringList& names)
{
    PrinterRegistry& registry = PrinterRegistry::instance();
    for (const QString& name : names) {
        emit sigRemovePrinter(name);
        PSM_LOG << "del printers:" << name;
        registry.removePrinterContext(name);
    }
}

QString ListenPrinterInfo::lastDeviceId() const
{
    QMutexLocker locker(&m_lastDeviceIdLock);
    return m_lastDeviceId;
}

void ListenPrinterInfo::setLastDeviceId(const QString& id)
{
    QMutexLocker locker(&m_lastDeviceIdLock);
    m_lastDeviceId = id;
}
