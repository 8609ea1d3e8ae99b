// USB discovery, the USB transports and the USB connector, run through the
// real libusb against simulated devices on a umockdev test bed.

#include "SimPrinter.h"
#include "UsbSimPrinter.h"
#include "UsbTestbed.h"
#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
#include "channel/SafeConnector.h"
#include "channel/UsbConnector.h"
#include "channel/UsbDiscovery.h"
#include "usbtransport/TLibusbDevice.h"
#include "usbtransport/TNonblockingUsbSocket.h"

#include <QElapsedTimer>
#include <QtTest>

#include <thrift/transport/TTransportException.h>

#include <libusb.h>

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using apache::thrift::transport::TLibusbDevice;
using apache::thrift::transport::TNonblockingUsbSocket;
using apache::thrift::transport::TTransportException;

using Interfaces = std::vector<std::array<uint8_t, 4>>;
using InterfaceSpecs = std::vector<UsbInterfaceSpec>;

Q_DECLARE_METATYPE(UsbWantedList)
Q_DECLARE_METATYPE(Interfaces)
Q_DECLARE_METATYPE(InterfaceSpecs)

namespace
{

UsbWantedList supportedModels()
{
    const QString vid = QStringLiteral("2d8f");
    return { { vid, QStringLiteral("a61c") },
             { vid, QStringLiteral("a62c") },
             { vid, QStringLiteral("a72c") },
             { vid, QStringLiteral("a32c") },
             { vid, QStringLiteral("a38c") } };
}

bool libusbSees(const UsbSimDevicePtr& device)
{
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    bool seen = false;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(list[i]) == device->bus() && libusb_get_device_address(list[i]) == device->address())
            seen = true;
    }
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return seen;
}

UsbDeviceSpec printer(uint16_t productId = 0xa61c, const QString& serial = QStringLiteral("SN0001"))
{
    UsbDeviceSpec spec;
    spec.productId = productId;
    spec.serial = serial;
    return spec;
}

std::shared_ptr<SimPrinter> simPrinter()
{
    SimPrinterConfig config;
    config.model = QStringLiteral("TR-M400");
    config.state = 3;
    config.flags = { 1, 7 };
    return std::make_shared<SimPrinter>(config);
}

// A USB printer's record as USB registration leaves it.
PrinterContextPtr usbPrinterRecord(const QString& identity)
{
    auto record = std::make_shared<PrinterContext>(QStringLiteral("TR-M400"), identity, 7, 1);
    record->setIsUSB(true);
    record->setKind(1);
    record->setModel(QStringLiteral("TR-M400"));
    return record;
}

} // namespace

class TestUsb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void wantedList_data();
    void wantedList();
    void unplugAndOtherPort();
    void stringDescriptors_data();
    void stringDescriptors();
    void interfaceEntries_data();
    void interfaceEntries();
    void unopenableDeviceIsSkipped();
    void failedListKeepsRecords();
    void concurrentScans();

    void linkRoundTrip_data();
    void linkRoundTrip();
    void linkPicksDeviceAndInterface_data();
    void linkPicksDeviceAndInterface();
    void readKeepsBytesBeforeTimeout();
    void socketLimits();

    void rpcRoundTrip();
    void linkReopensAfterFailedCall_data();
    void linkReopensAfterFailedCall();
    void unplugDuringCall();

private:
    UsbSimDevicePtr plugAndWait(const UsbDeviceSpec& spec);
    std::shared_ptr<TLibusbDevice> linkTo(const UsbSimDevicePtr& device, bool zeroLengthPacket = true,
                                          int timeoutMs = 2000);

    std::unique_ptr<UsbTestbed> m_bed;
};

void TestUsb::initTestCase()
{
    if (!UsbTestbed::available())
        QSKIP("needs umockdev: run under umockdev-wrapper (ctest does)");
    m_bed.reset(new UsbTestbed);
    QVERIFY(initUsb());
}

void TestUsb::cleanup()
{
    if (!m_bed)
        return;
    ConnectorRegistry::instance().clear();
    for (const UsbSimDevicePtr& device : m_bed->devices())
        m_bed->unplug(device);
    QTRY_VERIFY(scanUsbDevices(supportedModels()).isEmpty());
}

void TestUsb::cleanupTestCase()
{
    if (!m_bed)
        return;
    ConnectorRegistry::instance().clear();
    exitUsb();
    m_bed.reset();
}

UsbSimDevicePtr TestUsb::plugAndWait(const UsbDeviceSpec& spec)
{
    UsbSimDevicePtr device = m_bed->plug(spec);
    if (device && !QTest::qWaitFor([&]() { return libusbSees(device); }, 5000))
        return nullptr;
    return device;
}

std::shared_ptr<TLibusbDevice> TestUsb::linkTo(const UsbSimDevicePtr& device, bool zeroLengthPacket, int timeoutMs)
{
    const UsbDeviceSpec& spec = device->spec();
    return std::make_shared<TLibusbDevice>(spec.vendorId, spec.productId, spec.serial.toStdString(), 7, 1, 0,
                                           zeroLengthPacket, timeoutMs, timeoutMs, 8192, 8192, false);
}

// ---- discovery ------------------------------------------------------------

void TestUsb::wantedList_data()
{
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<int>("productId");
    QTest::addColumn<UsbWantedList>("wanted");
    QTest::addColumn<bool>("listed");

    const UsbWantedList models = supportedModels();
    QTest::newRow("supported model") << 0x2d8f << 0xa61c << models << true;
    QTest::newRow("last pair of the list") << 0x2d8f << 0xa38c << models << true;
    QTest::newRow("other product") << 0x2d8f << 0x1234 << models << false;
    QTest::newRow("other vendor") << 0x1a2b << 0xa61c << models << false;
    QTest::newRow("upper-case wanted list")
        << 0x2d8f << 0xa61c << UsbWantedList{ { QStringLiteral("2D8F"), QStringLiteral("A61C") } } << false;
    QTest::newRow("empty wanted list") << 0x2d8f << 0xa61c << UsbWantedList() << false;
}

void TestUsb::wantedList()
{
    QFETCH(int, vendorId);
    QFETCH(int, productId);
    QFETCH(UsbWantedList, wanted);
    QFETCH(bool, listed);

    UsbDeviceSpec spec = printer();
    spec.vendorId = uint16_t(vendorId);
    spec.productId = uint16_t(productId);
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);

    const QList<UsbDeviceRecord> records = scanUsbDevices(wanted);
    QCOMPARE(records.size(), listed ? 1 : 0);
    QCOMPARE(device->counters().opens, listed ? 1 : 0);
    if (listed) {
        QCOMPARE(records.at(0).vendorId, QStringLiteral("%1").arg(vendorId, 4, 16, QLatin1Char('0')));
        QCOMPARE(records.at(0).productId, QStringLiteral("%1").arg(productId, 4, 16, QLatin1Char('0')));
        QCOMPARE(int(records.at(0).busNumber), int(device->bus()));
        QCOMPARE(int(records.at(0).portNumber), int(device->port()));
        QVERIFY(records.at(0).isNew);
        QVERIFY(!records.at(0).missing);
    }
}

void TestUsb::unplugAndOtherPort()
{
    UsbDeviceSpec spec = printer();
    spec.port = 3;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    QList<UsbDeviceRecord> records = scanUsbDevices(supportedModels());
    QCOMPARE(records.size(), 1);
    QCOMPARE(int(records.at(0).portNumber), 3);

    m_bed->unplug(device);
    QTRY_VERIFY(scanUsbDevices(supportedModels()).isEmpty());

    spec.port = 5;
    UsbSimDevicePtr moved = plugAndWait(spec);
    QVERIFY(moved);
    records = scanUsbDevices(supportedModels());
    QCOMPARE(records.size(), 1);
    QCOMPARE(int(records.at(0).portNumber), 5);
    QCOMPARE(records.at(0).serial, QStringLiteral("SN0001"));
    QCOMPARE(moved->counters().opens, 1);
}

void TestUsb::stringDescriptors_data()
{
    QTest::addColumn<QString>("manufacturer");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<bool>("stall");
    QTest::addColumn<QString>("expectedManufacturer");
    QTest::addColumn<QString>("expectedModel");
    QTest::addColumn<QString>("expectedSerial");

    const QString maker = QStringLiteral("OSTREL");
    QTest::newRow("maker prefix") << maker << "OSTREL TR3200n"
                                  << "AB12" << false << maker << "TR3200n"
                                  << "AB12";
    QTest::newRow("every prefix") << maker << "OSTREL TR OSTREL X"
                                  << "AB12" << false << maker << "TR X"
                                  << "AB12";
    QTest::newRow("prefix without blank") << maker << "OSTRELTR3200n"
                                          << "AB12" << false << maker << "OSTRELTR3200n"
                                          << "AB12";
    QTest::newRow("no strings") << QString() << QString() << QString() << false << QString() << QString() << QString();
    QTest::newRow("not ASCII") << QString::fromUtf8("奥斯特") << QString::fromUtf8("OSTREL 打印机 TR")
                               << QString::fromUtf8("SN-ü1") << false << "???"
                               << "??? TR"
                               << "SN-?1";
    QTest::newRow("requests stall") << maker << "OSTREL TR3200n"
                                    << "AB12" << true << QString() << QString() << QString();
}

void TestUsb::stringDescriptors()
{
    QFETCH(QString, manufacturer);
    QFETCH(QString, product);
    QFETCH(QString, serial);
    QFETCH(bool, stall);
    QFETCH(QString, expectedManufacturer);
    QFETCH(QString, expectedModel);
    QFETCH(QString, expectedSerial);

    UsbDeviceSpec spec = printer();
    spec.manufacturer = manufacturer;
    spec.product = product;
    spec.serial = serial;
    spec.stallStringRequests = stall;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);

    const QList<UsbDeviceRecord> records = scanUsbDevices(supportedModels());
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.at(0).manufacturer, expectedManufacturer);
    QCOMPARE(records.at(0).model, expectedModel);
    QCOMPARE(records.at(0).serial, expectedSerial);
}

void TestUsb::interfaceEntries_data()
{
    QTest::addColumn<InterfaceSpecs>("interfaces");
    QTest::addColumn<Interfaces>("expected");

    QTest::newRow("printer interface") << InterfaceSpecs{ UsbInterfaceSpec() } << Interfaces{ { 0, 7, 1, 2 } };
    QTest::newRow("three interfaces") << InterfaceSpecs{ { 255, 0, 0, true }, { 7, 1, 2, true }, { 8, 6, 80, false } }
                                      << Interfaces{ { 0, 255, 0, 0 }, { 1, 7, 1, 2 }, { 2, 8, 6, 80 } };
    QTest::newRow("no interfaces") << InterfaceSpecs{} << Interfaces{};
}

void TestUsb::interfaceEntries()
{
    QFETCH(InterfaceSpecs, interfaces);
    QFETCH(Interfaces, expected);

    UsbDeviceSpec spec = printer();
    spec.interfaces = interfaces;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);

    const QList<UsbDeviceRecord> records = scanUsbDevices(supportedModels());
    QCOMPARE(records.size(), 1);
    QVERIFY(records.at(0).interfaces == expected);
    QCOMPARE(records.at(0).state, 2);
}

void TestUsb::unopenableDeviceIsSkipped()
{
    UsbDeviceSpec spec = printer();
    spec.openable = false;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    UsbSimDevicePtr good = plugAndWait(printer(0xa62c, QStringLiteral("SN0002")));
    QVERIFY(good);

    QList<UsbDeviceRecord> records = scanUsbDevices(supportedModels());
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.at(0).serial, QStringLiteral("SN0002"));

    // It is tried again on the next scan, since it was never listed.
    QCOMPARE(scanUsbDevices(supportedModels()).size(), 1);
}

void TestUsb::failedListKeepsRecords()
{
    UsbSimDevicePtr device = plugAndWait(printer());
    QVERIFY(device);
    QCOMPARE(scanUsbDevices(supportedModels()).size(), 1);

    // Without libusb the list call fails: the known record stays.
    exitUsb();
    const QList<UsbDeviceRecord> kept = scanUsbDevices(supportedModels());
    QVERIFY(initUsb());
    QCOMPARE(kept.size(), 1);
    QVERIFY(!kept.at(0).missing);

    const QList<UsbDeviceRecord> after = scanUsbDevices(supportedModels());
    QCOMPARE(after.size(), 1);
    QCOMPARE(device->counters().opens, 1);
}

void TestUsb::concurrentScans()
{
    UsbSimDevicePtr device = plugAndWait(printer());
    QVERIFY(device);

    // Scans from several threads share one list: the device is opened (and
    // its strings read) on first sight only, and every scan sees one record.
    QCOMPARE(scanUsbDevices(supportedModels()).size(), 1);
    const int stringRequests = device->counters().stringRequests;
    QVERIFY(stringRequests > 0);
    std::atomic<int> wrong{ 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong]() {
            for (int i = 0; i < 20; ++i) {
                if (scanUsbDevices(supportedModels()).size() != 1)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(device->counters().opens, 1);
    QCOMPARE(device->counters().stringRequests, stringRequests);
    QTRY_COMPARE(device->counters().closes, 1);
}

// ---- transports -----------------------------------------------------------

void TestUsb::linkRoundTrip_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("zeroLengthPacket");
    QTest::addColumn<int>("expectedZeroLengthPackets");

    QTest::newRow("one byte") << 1 << true << 0;
    QTest::newRow("short packet") << 511 << true << 0;
    QTest::newRow("one full packet, flag set") << 512 << true << 1;
    QTest::newRow("one full packet, flag clear") << 512 << false << 0;
    QTest::newRow("write buffer") << 8192 << true << 1;
    QTest::newRow("several transfers") << 20000 << true << 0;
    QTest::newRow("several transfers, full packets") << 20480 << true << 1;
}

void TestUsb::linkRoundTrip()
{
    QFETCH(int, size);
    QFETCH(bool, zeroLengthPacket);
    QFETCH(int, expectedZeroLengthPackets);

    UsbSimDevicePtr device = plugAndWait(printer());
    QVERIFY(device);
    TNonblockingUsbSocket socket(linkTo(device, zeroLengthPacket), 3000, 3000, 4194304);
    socket.open();
    QVERIFY(socket.isOpen());

    QByteArray message(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        message[i] = char(i * 7 + 3);
    socket.write(reinterpret_cast<const uint8_t*>(message.constData()), uint32_t(size));
    QVERIFY(device->received().isEmpty()); // nothing goes out before the flush
    socket.flush();
    QCOMPARE(device->received(), message);
    QCOMPARE(device->counters().zeroLengthPackets, expectedZeroLengthPackets);

    QByteArray echo(size, Qt::Uninitialized);
    socket.readAll(reinterpret_cast<uint8_t*>(echo.data()), uint32_t(size));
    QCOMPARE(echo, message);

    socket.close();
    QVERIFY(!socket.isOpen());
    QCOMPARE(device->counters().claims, 1);
    QCOMPARE(device->counters().releases, 1);
    QTRY_COMPARE(device->counters().closes, 1);
}

void TestUsb::linkPicksDeviceAndInterface_data()
{
    QTest::addColumn<InterfaceSpecs>("interfaces");
    QTest::addColumn<QString>("deviceSerial");
    QTest::addColumn<QString>("wantedSerial");
    QTest::addColumn<int>("classA");
    QTest::addColumn<int>("classB");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<bool>("resetOnOpen");
    QTest::addColumn<int>("expectedInterface"); // -1: open fails

    const InterfaceSpecs printerOnly{ UsbInterfaceSpec() };
    const InterfaceSpecs composite{ { 255, 0, 0, true }, { 7, 1, 2, true } };
    QTest::newRow("printer interface") << printerOnly << "AB12"
                                       << "AB12" << 7 << 1 << 0 << false << 0;
    QTest::newRow("second interface") << composite << "AB12"
                                      << "AB12" << 7 << 1 << 0 << false << 1;
    QTest::newRow("vendor interface") << composite << "AB12"
                                      << "AB12" << 255 << 0 << 0 << false << 0;
    QTest::newRow("protocol matches") << printerOnly << "AB12"
                                      << "AB12" << 7 << 1 << 2 << false << 0;
    QTest::newRow("protocol differs") << printerOnly << "AB12"
                                      << "AB12" << 7 << 1 << 3 << false << -1;
    QTest::newRow("class differs") << printerOnly << "AB12"
                                   << "AB12" << 7 << 2 << 0 << false << -1;
    QTest::newRow("interface without bulk endpoints") << InterfaceSpecs{ { 7, 1, 2, false } } << "AB12"
                                                      << "AB12" << 7 << 1 << 0 << false << -1;
    QTest::newRow("other serial") << printerOnly << "AB12"
                                  << "AB13" << 7 << 1 << 0 << false << -1;
    QTest::newRow("serial in UTF-8") << printerOnly << QString::fromUtf8("SN-ü1") << QString::fromUtf8("SN-ü1") << 7
                                     << 1 << 0 << false << 0;
    QTest::newRow("serial as discovery lists it")
        << printerOnly << QString::fromUtf8("SN-ü1") << "SN-?1" << 7 << 1 << 0 << false << 0;
    QTest::newRow("reset on open") << printerOnly << "AB12"
                                   << "AB12" << 7 << 1 << 0 << true << 0;
}

void TestUsb::linkPicksDeviceAndInterface()
{
    QFETCH(InterfaceSpecs, interfaces);
    QFETCH(QString, deviceSerial);
    QFETCH(QString, wantedSerial);
    QFETCH(int, classA);
    QFETCH(int, classB);
    QFETCH(int, protocol);
    QFETCH(bool, resetOnOpen);
    QFETCH(int, expectedInterface);

    UsbDeviceSpec spec = printer();
    spec.interfaces = interfaces;
    spec.serial = deviceSerial;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    // A look-alike with another serial on the same bus must not be taken.
    UsbSimDevicePtr other = plugAndWait(printer(0xa61c, QStringLiteral("OTHER")));
    QVERIFY(other);

    TLibusbDevice link(0x2d8f, 0xa61c, wantedSerial.toStdString(), uint16_t(classA), uint16_t(classB),
                       uint16_t(protocol), true, 2000, 2000, 8192, 8192, resetOnOpen);
    if (expectedInterface < 0) {
        QVERIFY_EXCEPTION_THROWN(link.open(), TTransportException);
        QVERIFY(!link.isOpen());
        QCOMPARE(device->counters().claims, 0);
        QCOMPARE(other->counters().claims, 0);
        return;
    }
    link.open();
    QVERIFY(link.isOpen());
    QCOMPARE(link.interfaceNumber(), expectedInterface);
    QCOMPARE(device->counters().claims, 1);
    QCOMPARE(other->counters().claims, 0);
    QCOMPARE(device->counters().resets, resetOnOpen ? 1 : 0);

    const uint8_t ping[] = { 1, 2, 3 };
    QCOMPARE(link.write(ping, 3), 3u);
    uint8_t back[8] = {};
    QCOMPARE(link.read(back, sizeof back), 3u);
    QCOMPARE(back[2], uint8_t(3));
    link.close();
}

void TestUsb::readKeepsBytesBeforeTimeout()
{
    // Two full packets and no end marker: the host's transfer stays open
    // until it times out, holding the two packets.
    UsbDeviceSpec spec = printer();
    spec.replyZeroLengthPacket = false;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    std::shared_ptr<TLibusbDevice> link = linkTo(device, true, 300);
    link->open();

    const QByteArray reply(1024, 'r');
    device->queueReply(reply);
    QByteArray got(2048, 0);
    const uint32_t n = link->read(reinterpret_cast<uint8_t*>(got.data()), 2048);
    QCOMPARE(n, 1024u);
    QCOMPARE(got.left(1024), reply);
    QCOMPARE(device->counters().discarded, 1);

    // Nothing more: a time-out without bytes reads nothing.
    QCOMPARE(link->read(reinterpret_cast<uint8_t*>(got.data()), 2048, 100), 0u);
    link->close();
}

void TestUsb::socketLimits()
{
    UsbSimDevicePtr device = plugAndWait(printer());
    QVERIFY(device);
    TNonblockingUsbSocket socket(linkTo(device), 300, 300, 1000);
    socket.open();

    // A message over the limit is refused before anything is sent; one of
    // the limit's size goes out.
    const QByteArray big(1001, 'x');
    QVERIFY_EXCEPTION_THROWN(socket.write(reinterpret_cast<const uint8_t*>(big.constData()), 1001),
                             TTransportException);
    socket.flush();
    QVERIFY(device->received().isEmpty());
    socket.write(reinterpret_cast<const uint8_t*>(big.constData()), 1000);
    socket.flush();
    QCOMPARE(device->received(), big.left(1000));
    QByteArray echo(1000, 0);
    socket.readAll(reinterpret_cast<uint8_t*>(echo.data()), 1000);

    // A reply over the limit is refused as it is read.
    const QByteArray half(600, 'y');
    socket.write(reinterpret_cast<const uint8_t*>(half.constData()), 600);
    socket.flush();
    device->queueReply(half);
    QByteArray back(1200, 0);
    QVERIFY_EXCEPTION_THROWN(socket.readAll(reinterpret_cast<uint8_t*>(back.data()), 1200), TTransportException);
    socket.close();
}

// ---- the USB connector ----------------------------------------------------

void TestUsb::rpcRoundTrip()
{
    UsbDeviceSpec spec = printer(0xa61c, QStringLiteral("SERIAL"));
    spec.usblpBound = true;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    std::shared_ptr<SimPrinter> sim = simPrinter();
    attachSimPrinter(device, sim);
    PrinterContextPtr record = usbPrinterRecord(QStringLiteral("2d8f:a61c:SERIAL"));

    std::string token;
    QCOMPARE(loginPrinter(record, DefaultAccount, defaultAccountPassword(), token, 1), 0);
    QVERIFY(!token.empty());
    QVERIFY(!device->kernelDriverBound()); // usblp detached while the link is open

    PrinterStatusReply status;
    for (int call = 0; call < 2; ++call) {
        QCOMPARE(getPrinterStatus(record, token, status, 1), 0);
        QCOMPARE(status.flags, (std::vector<int32_t>{ 1, 7 }));
    }

    // Three calls over one link: opened and claimed once, kept open.
    QCOMPARE(device->counters().opens, 1);
    QCOMPARE(device->counters().claims, 1);
    QCOMPARE(device->counters().closes, 0);
    QCOMPARE(sim->stats().totalRequests(), 3);
    std::shared_ptr<Connector> connector = getManageConnector(record);
    QVERIFY(connector->getTransport()->isOpen());

    // Dropping the connectors closes the link and gives the printer back to
    // the kernel's driver.
    resetConnectors(record);
    QVERIFY(connector->getTransport()->isOpen()); // still held here
    QCOMPARE(device->counters().releases, 0);
    const std::weak_ptr<Connector> last = connector;
    connector.reset();
    QVERIFY(last.expired());
    QCOMPARE(device->counters().releases, 1);
    QVERIFY(device->kernelDriverBound());
    QCOMPARE(device->counters().driverAttaches, 1);
    QTRY_COMPARE(device->counters().closes, 1);
}

void TestUsb::linkReopensAfterFailedCall_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("minMs");

    QTest::newRow("stall") << "stall" << 0;
    QTest::newRow("short read") << "short" << 2900;
    QTest::newRow("no reply") << "silent" << 2900;
}

void TestUsb::linkReopensAfterFailedCall()
{
    QFETCH(QString, fault);
    QFETCH(int, minMs);

    UsbSimDevicePtr device = plugAndWait(printer(0xa61c, QStringLiteral("SERIAL")));
    QVERIFY(device);
    std::shared_ptr<SimPrinter> sim = simPrinter();
    attachSimPrinter(device, sim);
    PrinterContextPtr record = usbPrinterRecord(QStringLiteral("2d8f:a61c:SERIAL"));

    std::string token;
    QCOMPARE(loginPrinter(record, DefaultAccount, defaultAccountPassword(), token, 1), 0);
    QCOMPARE(device->counters().opens, 1);

    if (fault == QLatin1String("stall"))
        device->stallNextRead();
    else if (fault == QLatin1String("short"))
        device->truncateNextReply(10);
    else
        device->setSilent(true);
    QElapsedTimer timer;
    timer.start();
    PrinterStatusReply status;
    QCOMPARE(getPrinterStatus(record, token, status, 1), -1);
    QVERIFY(timer.elapsed() >= minMs);
    QVERIFY(timer.elapsed() < 8000);
    // The failed call closed the link (and its connectors were dropped).
    QTRY_COMPARE(device->counters().closes, 1);
    QCOMPARE(device->counters().releases, 1);
    QVERIFY(record->connectorIds().isEmpty());
    device->setSilent(false);

    // The next call opens the link again and goes through.
    QCOMPARE(getPrinterStatus(record, token, status, 1), 0);
    QCOMPARE(status.state, 3);
    QCOMPARE(device->counters().opens, 2);
    QCOMPARE(sim->stats().connections, 2);
}

void TestUsb::unplugDuringCall()
{
    UsbDeviceSpec spec = printer(0xa61c, QStringLiteral("SERIAL"));
    spec.port = 4;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    std::shared_ptr<SimPrinter> sim = simPrinter();
    attachSimPrinter(device, sim);
    PrinterContextPtr record = usbPrinterRecord(QStringLiteral("2d8f:a61c:SERIAL"));

    std::string token;
    QCOMPARE(loginPrinter(record, DefaultAccount, defaultAccountPassword(), token, 1), 0);

    device->vanishOnNextWrite();
    PrinterStatusReply status;
    QCOMPARE(getPrinterStatus(record, token, status, 1), -1);
    m_bed->unplug(device);
    QTRY_COMPARE(device->counters().closes, 1);
    QVERIFY(record->connectorIds().isEmpty());

    // While it is away every call fails at once.
    QTRY_VERIFY(!libusbSees(device));
    QCOMPARE(getPrinterStatus(record, token, status, 1), -1);
    QCOMPARE(device->counters().opens, 1);
    QCOMPARE(device->counters().closes, 1);

    // Plugged in again (on another port): the next call opens a new link.
    spec.port = 6;
    UsbSimDevicePtr back = plugAndWait(spec);
    QVERIFY(back);
    attachSimPrinter(back, sim);
    QCOMPARE(getPrinterStatus(record, token, status, 1), 0);
    QCOMPARE(back->counters().opens, 1);
    QCOMPARE(status.state, 3);
}

QTEST_GUILESS_MAIN(TestUsb)
#include "TestUsb.moc"
