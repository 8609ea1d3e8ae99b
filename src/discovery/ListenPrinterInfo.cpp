#include "ListenPrinterInfo.h"

#include "HostUtils.h"
#include "Log.h"
#include "ModelTable.h"
#include "PrinterRegistry.h"

#include <pthread.h>

#include <exception>
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
};
thread_local PassListing t_passListing;

class PassListingScope
{
public:
    PassListingScope(const ListenPrinterInfo* watcher, const CupsDestinationList* destinations)
        : m_saved(t_passListing)
    {
        t_passListing = { watcher, destinations };
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
        try {
            while (!m_quit) {
                checkPrinter();
                std::unique_lock<std::mutex> lock(m_sleepLock);
                m_wake.wait_for(lock, m_options.interval, [this] { return m_quit.load(); });
            }
        } catch (const std::exception& e) {
            PSM_LOG << QString::fromLocal8Bit(e.what());
        }
        PSM_LOG << "checkPrinterThread quit";
    };
    loop();
}

CupsDestinationList ListenPrinterInfo::listDestinations()
{
    return CupsDestinationList::fetch(m_options.source, &m_cupsCancel);
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

QString ListenPrinterInfo::addressFromUriTail(const QString& tail)
{
    QString address = removeAll(tail, { "tav2://", "tav2:", "OSTREL_", "ostrelport", "socket://", "usb://", "USB://" });
    const int colon = address.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        address.truncate(colon);
    }
    return address;
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

    PrinterRegistry& registry = PrinterRegistry::instance();
    QHash<QString, PrinterContextPtr> contexts = registry.getPrinterContexts();
    QStringList knownNames = contexts.keys();

    // Keep the queues of supported models that are not attached over USB.
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

    UsbWantedList wanted;
    for (const ModelRecord& model : ModelTable::getModels()) {
        wanted.append(qMakePair(model.vid, model.pid));
    }
    const QList<UsbDeviceRecord> usbDevices = scanUsbDevices(wanted);

    for (const QString& name : qAsConst(candidates)) {
        const PrinterOptions options = getPrinterOptions(name);
        const QString tail = uriTail(options.value(DeviceUriOption));
        const QString makeAndModel = options.value(MakeAndModelOption);
        if (!ModelTable::isSupportedModel(makeAndModel)) {
            continue;
        }
        const QString address = addressFromUriTail(tail);
        if (!isValidIPv4(address)) {
            continue;
        }

        // A printer once registered under its address gives way to the
        // queue. A queue named after its own address is that very printer.
        if (address != name && contexts.contains(address)) {
            contexts.remove(address);
            knownNames.removeOne(address); // announced here, not again below
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
            PSM_LOG << "printer name :" << name << "printer ip :" << address;
            const PrinterContextPtr printer = registry.addPrinterContext(address, name, false, 0, 0);
            applyModel(*printer, makeAndModel);
            emit sigAddPrinter(name);
        }
    }

    addUSBDevice(knownNames, usbDevices, candidates);
    removePrinters(knownNames);
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
