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

Q_DECLARE_METATYPE(Interfaces)
Q_DECLARE_METATYPE(InterfaceSpecs)

namespace
{

const InterfaceSpecs composite{ { 255, 0, 0, true }, { 7, 1, 2, true } };

UsbWantedList supportedModels()
{
    const QString vid = QStringLiteral("2d8f");
    return { { vid, QStringLiteral("a61c") }, { vid, QStringLiteral("a62c") }, { vid, QStringLiteral("a38c") } };
}

bool libusbSees(const UsbSimDevicePtr& device)
{
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(nullptr, &list);
    bool seen = false;
    for (ssize_t i = 0; i < count; ++i)
        seen = seen || libusb_get_device_address(list[i]) == device->address();
    if (count >= 0)
        libusb_free_device_list(list, 1);
    return seen;
}

UsbDeviceSpec printer(const QString& serial = QStringLiteral("SN0001"))
{
    UsbDeviceSpec spec;
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

    void discovery_data();
    void discovery();
    void concurrentScans();

    void linkRoundTrip_data();
    void linkRoundTrip();
    void linkPicksDeviceAndInterface_data();
    void linkPicksDeviceAndInterface();
    void messageSizeLimit();

    void rpcRoundTrip();
    void failedCallClosesLink_data();
    void failedCallClosesLink();

private:
    UsbSimDevicePtr plugAndWait(const UsbDeviceSpec& spec);

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
    // An unplugged printer leaves the list.
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
    return QTest::qWaitFor([&]() { return libusbSees(device); }, 5000) ? device : nullptr;
}

void TestUsb::discovery_data()
{
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<int>("productId");
    QTest::addColumn<InterfaceSpecs>("interfaces");
    QTest::addColumn<Interfaces>("expected"); // empty: not listed

    const InterfaceSpecs printerOnly{ UsbInterfaceSpec() };
    QTest::newRow("supported model") << 0x2d8f << 0xa61c << printerOnly << Interfaces{ { 0, 7, 1, 2 } };
    QTest::newRow("last of the list") << 0x2d8f << 0xa38c << composite
                                      << Interfaces{ { 0, 255, 0, 0 }, { 1, 7, 1, 2 } };
    QTest::newRow("other product") << 0x2d8f << 0x1234 << printerOnly << Interfaces{};
    QTest::newRow("other vendor") << 0x1a2b << 0xa61c << printerOnly << Interfaces{};
}

void TestUsb::discovery()
{
    QFETCH(int, vendorId);
    QFETCH(int, productId);
    QFETCH(InterfaceSpecs, interfaces);
    QFETCH(Interfaces, expected);

    UsbDeviceSpec spec = printer();
    spec.vendorId = uint16_t(vendorId);
    spec.productId = uint16_t(productId);
    spec.interfaces = interfaces;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);

    const QList<UsbDeviceRecord> records = scanUsbDevices(supportedModels());
    QCOMPARE(device->state().opens, expected.empty() ? 0 : 1);
    if (expected.empty()) {
        QVERIFY(records.isEmpty());
        return;
    }
    QCOMPARE(records.size(), 1);
    const UsbDeviceRecord& r = records.at(0);
    QCOMPARE(r.vendorId + r.productId, QString::number(vendorId, 16) + QString::number(productId, 16));
    QCOMPARE(int(r.portNumber), int(device->port()));
    QCOMPARE(r.manufacturer + "|" + r.model + "|" + r.serial, QStringLiteral("OSTREL|TR-M400|SN0001"));
    QVERIFY(r.interfaces == expected);
    QVERIFY(r.isNew && !r.missing);
}

void TestUsb::concurrentScans()
{
    UsbSimDevicePtr device = plugAndWait(printer());
    QVERIFY(device);

    // Scans from several threads share one list: the device is opened on
    // first sight only, and every scan sees one record.
    std::atomic<int> wrong{ 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong]() {
            for (int i = 0; i < 20; ++i)
                wrong += scanUsbDevices(supportedModels()).size() != 1;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(device->state().opens, 1);
    QTRY_COMPARE(device->state().closes, 1);
}

void TestUsb::linkRoundTrip_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("zeroLengthPacket");
    QTest::addColumn<int>("expectedZeroLengthPackets");

    QTest::newRow("short packet") << 511 << true << 0;
    QTest::newRow("full packet") << 512 << true << 1;
    QTest::newRow("full packet, flag clear") << 512 << false << 0;
    QTest::newRow("several transfers, full packets") << 20480 << true << 1;
}

void TestUsb::linkRoundTrip()
{
    QFETCH(int, size);
    QFETCH(bool, zeroLengthPacket);
    QFETCH(int, expectedZeroLengthPackets);

    UsbSimDevicePtr device = plugAndWait(printer());
    QVERIFY(device);
    auto link = std::make_shared<TLibusbDevice>(0x2d8f, 0xa61c, "SN0001", 7, 1, 0, zeroLengthPacket, 2000, 2000, 8192,
                                                8192, false);
    TNonblockingUsbSocket socket(link, 3000, 3000, 4194304);
    socket.open();

    QByteArray message(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        message[i] = char(i * 7 + 3);
    socket.write(reinterpret_cast<const uint8_t*>(message.constData()), uint32_t(size));
    QVERIFY(device->state().received.isEmpty()); // nothing goes out before the flush
    socket.flush();
    QCOMPARE(device->state().received, message);
    QCOMPARE(device->state().zeroLengthPackets, expectedZeroLengthPackets);

    QByteArray echo(size, Qt::Uninitialized);
    socket.readAll(reinterpret_cast<uint8_t*>(echo.data()), uint32_t(size));
    QCOMPARE(echo, message);

    socket.close();
    QCOMPARE(device->state().claims, 1);
    QCOMPARE(device->state().releases, 1);
    QTRY_COMPARE(device->state().closes, 1);
}

void TestUsb::linkPicksDeviceAndInterface_data()
{
    QTest::addColumn<InterfaceSpecs>("interfaces");
    QTest::addColumn<QString>("wantedSerial");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("expectedInterface"); // -1: open fails

    const InterfaceSpecs printerOnly{ UsbInterfaceSpec() };
    QTest::newRow("second interface") << composite << "SN-ü1" << 0 << 1;
    QTest::newRow("protocol matches") << printerOnly << "SN-ü1" << 2 << 0;
    QTest::newRow("protocol differs") << printerOnly << "SN-ü1" << 3 << -1;
    QTest::newRow("no bulk endpoints") << InterfaceSpecs{ { 7, 1, 2, false } } << "SN-ü1" << 0 << -1;
    QTest::newRow("other serial") << printerOnly << "SN-ü2" << 0 << -1;
    QTest::newRow("serial as discovery lists it") << printerOnly << "SN-?1" << 0 << 0;
}

void TestUsb::linkPicksDeviceAndInterface()
{
    QFETCH(InterfaceSpecs, interfaces);
    QFETCH(QString, wantedSerial);
    QFETCH(int, protocol);
    QFETCH(int, expectedInterface);

    UsbDeviceSpec spec = printer(QStringLiteral("SN-ü1"));
    spec.interfaces = interfaces;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    // A look-alike with another serial on the same bus must not be taken.
    UsbSimDevicePtr other = plugAndWait(printer(QStringLiteral("OTHER")));
    QVERIFY(other);

    TLibusbDevice link(0x2d8f, 0xa61c, wantedSerial.toStdString(), 7, 1, uint16_t(protocol), true, 2000, 2000, 8192,
                       8192, false);
    if (expectedInterface < 0) {
        QVERIFY_EXCEPTION_THROWN(link.open(), TTransportException);
        QVERIFY(!link.isOpen());
        QCOMPARE(device->state().claims + other->state().claims, 0);
        return;
    }
    link.open();
    QCOMPARE(link.interfaceNumber(), expectedInterface);
    QCOMPARE(device->state().claims, 1);
    QCOMPARE(other->state().claims, 0);

    const uint8_t ping[] = { 1, 2, 3 };
    QCOMPARE(link.write(ping, 3), 3u);
    uint8_t back[8] = {};
    QCOMPARE(link.read(back, sizeof back), 3u);
    QCOMPARE(back[2], uint8_t(3));
}

void TestUsb::messageSizeLimit()
{
    UsbSimDevicePtr device = plugAndWait(printer());
    QVERIFY(device);
    auto link = std::make_shared<TLibusbDevice>(0x2d8f, 0xa61c, "SN0001", 7, 1, 0, true, 300, 300, 8192, 8192, false);
    TNonblockingUsbSocket socket(link, 300, 300, 1000);
    socket.open();

    // A message over the limit is refused before anything is sent; one of
    // the limit's size goes out, and so does its reply.
    const QByteArray big(1001, 'x');
    QVERIFY_EXCEPTION_THROWN(socket.write(reinterpret_cast<const uint8_t*>(big.constData()), 1001),
                             TTransportException);
    socket.flush();
    QVERIFY(device->state().received.isEmpty());
    for (int round = 0; round < 2; ++round) {
        socket.write(reinterpret_cast<const uint8_t*>(big.constData()), 1000);
        socket.flush();
        QByteArray echo(1000, 0);
        socket.readAll(reinterpret_cast<uint8_t*>(echo.data()), 1000);
        QCOMPARE(echo, big.left(1000));
    }

    // A reply over the limit is refused as it is read.
    socket.write(reinterpret_cast<const uint8_t*>(big.constData()), 600);
    socket.flush();
    device->queueReply(big.left(600));
    QByteArray back(1200, 0);
    QVERIFY_EXCEPTION_THROWN(socket.readAll(reinterpret_cast<uint8_t*>(back.data()), 1200), TTransportException);
}

void TestUsb::rpcRoundTrip()
{
    UsbDeviceSpec spec = printer(QStringLiteral("SERIAL"));
    spec.usblpBound = true;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    std::shared_ptr<SimPrinter> sim = simPrinter();
    attachSimPrinter(device, sim);
    PrinterContextPtr record = usbPrinterRecord(QStringLiteral("2d8f:a61c:SERIAL"));

    std::string token;
    QCOMPARE(loginPrinter(record, DefaultAccount, defaultAccountPassword(), token, 1), 0);
    QVERIFY(!device->state().driverBound); // usblp detached while the link is open

    PrinterStatusReply status;
    for (int call = 0; call < 2; ++call) {
        QCOMPARE(getPrinterStatus(record, token, status, 1), 0);
        QCOMPARE(status.flags, (std::vector<int32_t>{ 1, 7 }));
    }

    // Three calls over one link, kept open.
    QCOMPARE(device->state().opens, 1);
    QCOMPARE(device->state().claims, 1);
    QCOMPARE(device->state().closes, 0);
    QCOMPARE(sim->stats().totalRequests(), 3);

    // Dropping the last connector closes the link and gives the printer back
    // to the kernel's driver.
    std::shared_ptr<Connector> connector = getManageConnector(record);
    resetConnectors(record);
    QCOMPARE(device->state().releases, 0); // still held here
    connector.reset();
    QCOMPARE(device->state().releases, 1);
    QVERIFY(device->state().driverBound);
    QTRY_COMPARE(device->state().closes, 1);
}

void TestUsb::failedCallClosesLink_data()
{
    QTest::addColumn<bool>("unplug");

    QTest::newRow("stalled read") << false;
    QTest::newRow("unplugged") << true;
}

void TestUsb::failedCallClosesLink()
{
    QFETCH(bool, unplug);

    const UsbDeviceSpec spec = printer(QStringLiteral("SERIAL"));
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    std::shared_ptr<SimPrinter> sim = simPrinter();
    attachSimPrinter(device, sim);
    PrinterContextPtr record = usbPrinterRecord(QStringLiteral("2d8f:a61c:SERIAL"));
    std::string token;
    QCOMPARE(loginPrinter(record, DefaultAccount, defaultAccountPassword(), token, 1), 0);

    if (unplug)
        m_bed->unplug(device);
    else
        device->stallNextRead();
    PrinterStatusReply status;
    QCOMPARE(getPrinterStatus(record, token, status, 1), -1);
    // The failed call closed the link and dropped its connectors.
    QTRY_COMPARE(device->state().closes, 1);
    QVERIFY(record->connectorIds().isEmpty());

    if (unplug) {
        // While it is away every call fails at once; plugged in again (on
        // another port), the next call opens a new link.
        QTRY_VERIFY(!libusbSees(device));
        QCOMPARE(getPrinterStatus(record, token, status, 1), -1);
        QCOMPARE(device->state().opens, 1);
        device = plugAndWait(spec);
        QVERIFY(device);
        attachSimPrinter(device, sim);
    }
    QCOMPARE(getPrinterStatus(record, token, status, 1), 0);
    QCOMPARE(status.state, 3);
    QCOMPARE(sim->stats().connections, 2);
}

QTEST_GUILESS_MAIN(TestUsb)
#include "TestUsb.moc"
