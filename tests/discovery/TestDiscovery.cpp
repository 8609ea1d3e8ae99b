// The printer watcher against a private cupsd (scripts/cups-sandbox). Where a
// test needs one exact pass it runs the passes of a watcher without a thread.
// USB devices are handed to the watcher as libusb would list them.

#include "CupsSandbox.h"
#include "channel/UsbDiscovery.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "discovery/CupsDestinations.h"
#include "discovery/ListenPrinterInfo.h"
#include "status/ListenPrinterStatus.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <stdexcept>

namespace
{
QMutex s_logLock;
QStringList s_log;
QtMessageHandler s_previousHandler = nullptr;

void recordLog(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    s_logLock.lock();
    s_log << message;
    s_logLock.unlock();
    s_previousHandler(type, context, message);
}

// The diagnostic lines of every thread since the test began that contain the text.
int logCount(const QString& part)
{
    QMutexLocker locker(&s_logLock);
    return s_log.filter(part).size();
}

ListenPrinterInfo::Options watcherOptions(bool startThread)
{
    ListenPrinterInfo::Options options;
    options.interval = std::chrono::milliseconds(50);
    options.startThread = startThread;
    return options;
}
} // namespace

// The watcher's announcements as "+name", "-name" and "usb identity", recorded
// on the test's thread: signals from the watcher's thread arrive queued.
class WatcherProbe : public QObject
{
public:
    explicit WatcherProbe(ListenPrinterInfo* watcher)
    {
        connect(watcher, &ListenPrinterInfo::sigAddPrinter, this,
                [this](const QString& name) { events << "+" + name; });
        connect(watcher, &ListenPrinterInfo::sigRemovePrinter, this,
                [this](const QString& name) { events << "-" + name; });
        connect(watcher, &ListenPrinterInfo::sigAddUSBPrinter, this,
                [this](const QString&, const QString& id) { events << "usb " + id; });
    }
    QStringList events;
};

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void queueRecognition_data();
    void queueRecognition();
    void announcementsReachRegistryAndPoller();
    void listingsAgree();
    void changedQueueKeepsItsRecord();
    void queuesSharingAnAddressStay();
    void watcherThreadRidesOutFailures();
    void usbDeviceServedByQueue_data();
    void usbDeviceServedByQueue();
    void usbRegistration();

private:
    static UsbDeviceRecord usbDevice(const QString& serial, const QString& model, int interfaces = 1);

    CupsSandbox m_cups;
    QTemporaryDir m_home;
};

void TestDiscovery::initTestCase()
{
    // libcups reads the user's lpoptions from $HOME: keep the developer's out.
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    // libcups' own destination list also browses DNS-SD through avahi-daemon,
    // which would query the network: without a system bus there is no browse.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
    QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError()));
    s_previousHandler = qInstallMessageHandler(recordLog);
    ModelTable::readModels(QStringLiteral(PSM_SOURCE_DIR "/data/config.json"));
    QVERIFY(initUsb());
}

void TestDiscovery::init()
{
    QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError())); // again, should a test have stopped it
    QVERIFY(m_cups.removeAllQueues());
    PrinterRegistry::instance().clear();
    QMutexLocker locker(&s_logLock);
    s_log.clear();
}

void TestDiscovery::cleanupTestCase()
{
    PrinterRegistry::instance().clear();
    exitUsb();
}

UsbDeviceRecord TestDiscovery::usbDevice(const QString& serial, const QString& model, int interfaces)
{
    UsbDeviceRecord device;
    device.vendorId = QStringLiteral("2d8f");
    device.productId = QStringLiteral("a61c");
    device.serial = serial;
    device.model = model;
    for (int i = 0; i < interfaces; ++i) {
        // number, class, subclass, protocol: the last one is the printer class
        device.interfaces.push_back({ uint8_t(i), uint8_t(i + 1 == interfaces ? 7 : 255), 1, 2 });
    }
    return device;
}

void TestDiscovery::queueRecognition_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("ppd");
    QTest::addColumn<QString>("address"); // empty: the queue is not a printer of ours
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("supportToner");
    const auto row = [](const char* tag, const char* uri, const char* ppd, const char* address = "",
                        const char* model = "", bool toner = true, const QString& name = QStringLiteral("q")) {
        QTest::newRow(tag) << name << QString(uri) << QString(ppd) << QString(address) << QString(model) << toner;
    };
    const char* m400 = "Ostrel TR-M400 Series";
    row("TR-M400, socket", "socket://127.0.0.20:9100", "TR-M400", "127.0.0.20", m400);
    row("maker scheme", "tav2://OSTREL_127.0.0.21", "TR-C3000", "127.0.0.21", "Ostrel TR-C3000 Series");
    row("TR3200n, no toner, path", "socket://127.0.0.23/q", "TR3200n", "127.0.0.23", "Ostrel TR3200n", false);
    row("options, no port", "socket://127.0.0.26?waiteof=false", "TR-M400", "127.0.0.26", m400);
    row("TR Color 3800, Chinese name", "socket://127.0.0.24:9100", "TR3800", "127.0.0.24",
        "Ostrel TR Color 3800 Series", true, QStringLiteral("财务部打印机"));
    row("unsupported model", "socket://127.0.0.30:9100", "X100");
    row("no make-and-model", "socket://127.0.0.30:9100", "raw");
    row("usb://", "usb://Ostrel/TR-M400?serial=AB12", "TR-M400");
    row("usb in maker scheme", "tav2://OSTREL_usb_127.0.0.30", "TR-M400");
    row("leading zeros", "socket://127.0.0.010:9100", "TR-M400"); // cupsd would reach 127.0.0.8
    row("unspecified address", "socket://0.0.0.0?waiteof=false", "TR-M400");
    row("ipp", "ipp://127.0.0.30/ipp/print", "TR-M400");
    // Every prefix the address is read through, as it is written (letter case counts).
    row("maker scheme without slashes", "tav2:127.0.0.41", "TR-M400", "127.0.0.41", m400);
    row("maker port marker", "tav2://ostrelport127.0.0.42", "TR-M400", "127.0.0.42", m400);
    row("maker prefix in lower case", "tav2://ostrel_127.0.0.43", "TR-M400");
    row("usb scheme holding an address", "usb://127.0.0.44", "TR-M400");
    // A URI naming USB in either case is a USB-attached queue, even with an address.
    row("usb in the path", "socket://127.0.0.45:9100/usb", "TR-M400");
    row("USB in the path", "socket://127.0.0.46:9100/USB", "TR-M400");
    row("Usb is neither", "socket://127.0.0.47:9100/Usb", "TR-M400", "127.0.0.47", m400);
}

// One pass registers a queue of a supported model at a dotted address, with
// what the model table says of it; a second pass changes nothing.
void TestDiscovery::queueRecognition()
{
    QFETCH(QString, name);
    QFETCH(QString, uri);
    QFETCH(QString, ppd);
    QFETCH(QString, address);
    QFETCH(QString, model);
    QFETCH(bool, supportToner);
    QVERIFY2(m_cups.addQueue(name, uri, ppd), qPrintable(m_cups.lastError()));
    ListenPrinterInfo watcher(watcherOptions(false));
    WatcherProbe probe(&watcher);
    watcher.checkPrinter();
    watcher.checkPrinter();
    QCoreApplication::processEvents();
    QCOMPARE(probe.events, address.isEmpty() ? QStringList() : QStringList{ "+" + name });
    if (!address.isEmpty()) {
        const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(name);
        QCOMPARE(printer->ip(), address);
        QCOMPARE(printer->model(), model);
        QCOMPARE(printer->supportToner(), supportToner);
    }
}

// Each announcement goes with the registry and the poller's next pass: an
// added printer, network or USB, is registered and polled; a removed one is
// gone from both and announced once.
void TestDiscovery::announcementsReachRegistryAndPoller()
{
    QVERIFY(m_cups.addQueue("office", "socket://127.0.0.20:9100", "TR-M400"));
    QVERIFY(m_cups.addQueue("annex", "socket://127.0.0.21:9100", "TR-M400"));
    ListenPrinterInfo watcher(watcherOptions(false));
    WatcherProbe probe(&watcher);
    ListenPrinterStatus poller;
    poller.stopListenPrinterStatus(true);
    const auto registered = [] {
        QStringList names = PrinterRegistry::instance().getPrinterContexts().keys();
        names.sort();
        return names;
    };
    // The printers one pass of the poller reports on, nobody answering.
    const auto polled = [&poller, &registered] {
        QSignalSpy reports(&poller, &ListenPrinterStatus::printerStatusChanged);
        poller.refreshPrinterStatus();
        const int expected = registered().size();
        if (!QTest::qWaitFor([&] { return reports.size() >= expected; }, 15000)) {
            return QStringList{ "no reports" };
        }
        QTest::qWait(200); // nothing more comes
        QStringList names;
        for (const QList<QVariant>& report : reports) {
            names << report.at(0).toString();
        }
        names.sort();
        return names;
    };

    watcher.checkPrinter();
    QStringList known;
    watcher.addUSBDevice(known, { usbDevice("AB12", "TR-M400") }, {});
    QCoreApplication::processEvents();
    const QStringList all{ "2d8f:a61c:AB12", "annex", "office" };
    QCOMPARE(registered(), all);
    QCOMPARE(polled(), all);

    // The queue deleted, the device gone: two passes, one announcement each.
    QVERIFY(m_cups.removeQueue("office"));
    watcher.checkPrinter();
    watcher.checkPrinter();
    QCoreApplication::processEvents();
    probe.events.sort();
    QCOMPARE(probe.events, (QStringList{ "+annex", "+office", "-2d8f:a61c:AB12", "-office", "usb 2d8f:a61c:AB12" }));
    QCOMPARE(registered(), QStringList{ "annex" });
    QCOMPARE(polled(), QStringList{ "annex" });
}

// The one-request listing the watcher uses and libcups' own destination list
// name the same queues, in the same order, with the same options; neither
// works without a server.
void TestDiscovery::listingsAgree()
{
    const QStringList queues{ "zeta", "Alpha", "beta", QStringLiteral("财务部打印机") };
    for (int i = 0; i < queues.size(); ++i) {
        QVERIFY(m_cups.addQueue(queues.at(i), QStringLiteral("socket://127.0.0.%1:9100").arg(40 + i), "TR-M400"));
    }
    using Source = CupsDestinationList::Source;
    const CupsDestinationList request = CupsDestinationList::fetch(Source::PrintersRequest);
    const CupsDestinationList dests = CupsDestinationList::fetch(Source::GetDests);
    QVERIFY2(request.ok() && dests.ok(), qPrintable(request.error() + dests.error()));
    // ASCII case ignored; libcups compares bytes as signed chars, so UTF-8 comes first.
    QCOMPARE(request.names(), (QStringList{ QStringLiteral("财务部打印机"), "Alpha", "beta", "zeta" }));
    QCOMPARE(dests.names(), request.names());
    for (const QString& name : queues) {
        QCOMPARE(dests.options(name.toUpper()), request.options(name));
    }
    QCOMPARE(request.options("ZETA").value("device-uri"), QString("socket://127.0.0.40:9100"));

    m_cups.stop(true);
    QVERIFY(!CupsDestinationList::fetch(Source::GetDests).ok());
    QVERIFY(!CupsDestinationList::fetch(Source::PrintersRequest).ok());
}

// A queue pointed at another printer, of another model, stays the same
// printer to the agent: its record and history are kept and brought up to date.
void TestDiscovery::changedQueueKeepsItsRecord()
{
    QVERIFY(m_cups.addQueue("office", "socket://127.0.0.20:9100", "TR-M400"));
    ListenPrinterInfo watcher(watcherOptions(false));
    WatcherProbe probe(&watcher);
    watcher.checkPrinter();
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext("office");
    printer->setStatusEntries({ StatusEntry{ QDateTime::currentDateTime(), { "jam" }, "20006" } });

    QVERIFY(m_cups.addQueue("office", "socket://127.0.0.21:9100", "TR3200n"));
    watcher.checkPrinter();
    QCoreApplication::processEvents();
    QCOMPARE(probe.events, QStringList{ "+office" });
    QCOMPARE(PrinterRegistry::instance().getPrinterContext("office"), printer);
    QCOMPARE(printer->ip(), QString("127.0.0.21"));
    QCOMPARE(printer->model(), QString("Ostrel TR3200n"));
    QCOMPARE(printer->statusEntries().size(), 1);
}

// A queue named after its printer's address and another queue for the same
// printer both stay, pass after pass, in either listing order.
void TestDiscovery::queuesSharingAnAddressStay()
{
    QVERIFY(m_cups.addQueue("127.0.0.32", "socket://127.0.0.32:9100", "TR-M400"));
    QVERIFY(m_cups.addQueue("annex", "socket://127.0.0.32:9100", "TR-M400"));
    QVERIFY(m_cups.addQueue("0-front", "socket://127.0.0.32:9100", "TR-M400"));
    ListenPrinterInfo watcher(watcherOptions(false));
    WatcherProbe probe(&watcher);
    for (int pass = 0; pass < 4; ++pass) {
        watcher.checkPrinter();
    }
    QCoreApplication::processEvents();
    probe.events.sort();
    QCOMPARE(probe.events, (QStringList{ "+0-front", "+127.0.0.32", "+annex" }));
}

// The watcher on its own thread: a pass that throws is logged (once while it
// repeats) and the next pass runs all the same. Passes while cupsd is down
// change nothing: the printers keep their records and status history, and the
// outage is logged once as it starts and once as it ends.
void TestDiscovery::watcherThreadRidesOutFailures()
{
    QVERIFY(m_cups.addQueue("office", "socket://127.0.0.20:9100", "TR-M400"));
    std::atomic<int> passes{ 0 };
    ListenPrinterInfo::Options options = watcherOptions(true);
    options.beforePass = [&passes] {
        const int pass = ++passes;
        if (pass <= 2) {
            throw std::runtime_error("registry out of step");
        }
        if (pass == 3) {
            throw 42;
        }
    };
    auto watcher = std::make_unique<ListenPrinterInfo>(options);
    WatcherProbe probe(watcher.get());
    QTRY_COMPARE_WITH_TIMEOUT(probe.events, QStringList{ "+office" }, 10000);
    QCOMPARE(logCount("operator() ] \"registry out of step\""), 1);
    QCOMPARE(logCount("operator() ] \"unknown exception\""), 1);
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext("office");
    printer->appendStatusEntry({ QDateTime::currentDateTime(), { "网络不可达(30001)" }, "30001" });

    const QString down = QStringLiteral("checkPrinter ] cups listing failed");
    const QString up = QStringLiteral("checkPrinter ] cups listing works again");
    m_cups.stop(true);
    QTRY_COMPARE_WITH_TIMEOUT(logCount(down), 1, 10000);
    QTest::qWait(500); // some ten passes without a server
    QVERIFY2(m_cups.start(), qPrintable(m_cups.lastError()));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(up), 1, 10000);
    const int later = passes + 3;
    QTRY_VERIFY_WITH_TIMEOUT(passes >= later, 10000);
    QCOMPARE(logCount(down), 1);
    QCOMPARE(logCount(up), 1);
    QCOMPARE(probe.events, QStringList{ "+office" });
    QCOMPARE(PrinterRegistry::instance().getPrinterContexts().values(), QList<PrinterContextPtr>{ printer });
    QCOMPARE(printer->statusEntries().size(), 1);
}

void TestDiscovery::usbDeviceServedByQueue_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("ppd");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("served");
    const auto row = [](const char* tag, const char* uri, const char* ppd, const char* serial, bool served) {
        QTest::newRow(tag) << QString(uri) << QString(ppd) << QString(serial) << served;
    };
    row("maker scheme names the serial", "tav2://OSTREL_AB12", "TR-M400", "AB12", true);
    row("other serial", "tav2://OSTREL_CD34", "TR-M400", "AB12", false);
    row("unsupported model", "tav2://OSTREL_AB12", "X100", "AB12", false);
    row("address holding the serial", "tav2://OSTREL_127.0.0.12", "TR-M400", "12", false);
    row("no serial", "tav2://OSTREL_AB12", "TR-M400", "", false);
}

// A USB device that a CUPS queue of a supported model names by its serial is
// reached through that queue and not registered on its own.
void TestDiscovery::usbDeviceServedByQueue()
{
    QFETCH(QString, uri);
    QFETCH(QString, ppd);
    QFETCH(QString, serial);
    QFETCH(bool, served);
    QVERIFY(m_cups.addQueue("usbqueue", uri, ppd));
    ListenPrinterInfo watcher(watcherOptions(false));
    const QStringList candidates = watcher.getPrinterNames();
    QStringList known;
    watcher.addUSBDevice(known, { usbDevice(serial, "TR-M400") }, candidates);
    QCOMPARE(PrinterRegistry::instance().getPrinterContexts().size(), served ? 0 : 1);
}

void TestDiscovery::usbRegistration()
{
    ListenPrinterInfo watcher(watcherOptions(false));
    WatcherProbe probe(&watcher);
    QStringList known;
    // No interface, no class values to reach it with: skipped. Devices without
    // a serial share one identity, announced once.
    const UsbDeviceRecord first = usbDevice(QString(), "TR3200n");
    UsbDeviceRecord second = first;
    second.portNumber = 1;
    watcher.addUSBDevice(known, { usbDevice("EF56", "TR-M400", 0), first, second }, {});
    QCoreApplication::processEvents();
    QCOMPARE(probe.events, QStringList{ "usb 2d8f:a61c:" });
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext("2d8f:a61c:");
    QCOMPARE(printer->ip(), QStringLiteral("TR3200n"));
    QCOMPARE(printer->supportToner(), false);
    QCOMPARE(printer->usbClassA(), quint16(7));
    QCOMPARE(printer->usbDetailB(), QStringLiteral("unneed")); // its identity could not be read

    // Later passes confirm it without a signal; only its model follows the device.
    known = PrinterRegistry::instance().getPrinterContexts().keys();
    second.model = QStringLiteral("TR7200n");
    watcher.addUSBDevice(known, { second, first }, {});
    QCoreApplication::processEvents();
    QVERIFY(known.isEmpty());
    QCOMPARE(probe.events.size(), 1);
    QCOMPARE(printer->model(), QStringLiteral("TR7200n"));
    QCOMPARE(printer->supportToner(), true);
    QCOMPARE(printer->ip(), QStringLiteral("TR3200n"));
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "TestDiscovery.moc"
