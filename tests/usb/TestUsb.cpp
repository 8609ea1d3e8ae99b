// USB discovery, the USB transports and the USB connector, run through the
// real libusb against simulated devices on a umockdev test bed.

#include "UsbSimPrinter.h"
#include "UsbTestbed.h"
#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
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

    void transferTimeouts_data();
    void transferTimeouts();

    void connector_data();
    void connector();

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

    UsbDeviceSpec spec;
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
    QCOMPARE(int(r.portNumber), device->address());
    QCOMPARE(r.manufacturer + "|" + r.model + "|" + r.serial, QStringLiteral("OSTREL|TR-M400|SN0001"));
    QVERIFY(r.interfaces == expected);
    QVERIFY(r.isNew && !r.missing);
}

void TestUsb::concurrentScans()
{
    UsbSimDevicePtr device = plugAndWait(UsbDeviceSpec());
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
    QTest::addColumn<int>("size"); // also the largest message
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

    UsbSimDevicePtr device = plugAndWait(UsbDeviceSpec());
    QVERIFY(device);
    auto link = std::make_shared<TLibusbDevice>(0x2d8f, 0xa61c, "SN0001", 7, 1, 0, zeroLengthPacket, 2000, 2000, 8192,
                                                8192, false);
    TNonblockingUsbSocket socket(link, 3000, 3000, uint32_t(size));
    socket.open();
    QByteArray message(size + 1, Qt::Uninitialized);
    for (int i = 0; i <= size; ++i)
        message[i] = char(i * 7 + 3);
    const auto* bytes = reinterpret_cast<const uint8_t*>(message.constData());

    // A message over the limit is refused before anything is sent.
    QVERIFY_EXCEPTION_THROWN(socket.write(bytes, uint32_t(size + 1)), TTransportException);
    socket.flush();
    QVERIFY(device->state().received.isEmpty());
    // One of the limit's size goes out on the flush, and its reply comes back, each time.
    for (int round = 1; round <= 2; ++round) {
        socket.write(bytes, uint32_t(size));
        QCOMPARE(device->state().received.size(), (round - 1) * size);
        socket.flush();
        QCOMPARE(device->state().received, message.left(size).repeated(round));
        QCOMPARE(device->state().zeroLengthPackets, round * expectedZeroLengthPackets);
        QByteArray echo(size, Qt::Uninitialized);
        socket.readAll(reinterpret_cast<uint8_t*>(echo.data()), uint32_t(size));
        QCOMPARE(echo, message.left(size));
    }
    // A reply over the limit is refused as it is read.
    socket.write(bytes, 1);
    socket.flush();
    device->queueReply(message.left(size));
    QVERIFY_EXCEPTION_THROWN(socket.readAll(reinterpret_cast<uint8_t*>(message.data()), uint32_t(size + 1)),
                             TTransportException);

    socket.close();
    QTRY_COMPARE(device->state().closes, 1);
}

void TestUsb::linkPicksDeviceAndInterface_data()
{
    QTest::addColumn<InterfaceSpecs>("interfaces");
    QTest::addColumn<QString>("wantedSerial");
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("expectedInterface"); // -1: open fails

    const InterfaceSpecs printerOnly{ UsbInterfaceSpec() };
    // Three UTF-8 lengths and a surrogate pair; discovery's ASCII form has a
    // "?" per UTF-16 unit.
    const QString serial = QStringLiteral("SN-ü打🖨1");
    QTest::newRow("second interface") << composite << serial << 0 << 1;
    QTest::newRow("same class, other subclass first")
        << InterfaceSpecs{ { 7, 2, 2, true }, { 7, 1, 2, true } } << serial << 0 << 1;
    QTest::newRow("protocol matches") << printerOnly << serial << 2 << 0;
    QTest::newRow("protocol differs") << printerOnly << serial << 3 << -1;
    QTest::newRow("no bulk endpoints") << InterfaceSpecs{ { 7, 1, 2, false } } << serial << 0 << -1;
    QTest::newRow("other serial") << printerOnly << QString(serial).replace("1", "2") << 0 << -1;
    QTest::newRow("serial as discovery lists it") << printerOnly << "SN-????1" << 0 << 0;
}

void TestUsb::linkPicksDeviceAndInterface()
{
    QFETCH(InterfaceSpecs, interfaces);
    QFETCH(QString, wantedSerial);
    QFETCH(int, protocol);
    QFETCH(int, expectedInterface);

    // Next to a look-alike (serial SN0001) that must not be taken.
    UsbSimDevicePtr other = plugAndWait(UsbDeviceSpec());
    QVERIFY(other);
    UsbDeviceSpec spec;
    spec.serial = QStringLiteral("SN-ü打🖨1");
    spec.interfaces = interfaces;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);

    TLibusbDevice link(0x2d8f, 0xa61c, wantedSerial.toStdString(), 7, 1, uint16_t(protocol), true, 2000, 2000, 8192,
                       8192, false);
    if (expectedInterface < 0) {
        QVERIFY_EXCEPTION_THROWN(link.open(), TTransportException);
        QCOMPARE(device->state().claims + other->state().claims, 0);
        return;
    }
    link.open();
    QCOMPARE(link.interfaceNumber(), expectedInterface);
    QCOMPARE(device->state().claims, 1);
    QCOMPARE(other->state().claims, 0);
}

void TestUsb::transferTimeouts_data()
{
    QTest::addColumn<QString>("reply"); // what the device sends to a request
    QTest::addColumn<int>("callerTimeoutMs"); // -1: a read of the socket, else of the link
    QTest::addColumn<int>("bytes"); // read at the most before it gives up
    QTest::addColumn<int>("minMs"); // how long it waits, at least and at most
    QTest::addColumn<int>("maxMs");

    // The socket waits its read time-out (400 ms) for the first byte; the link
    // its own (5 s here) unless the caller asks for less.
    QTest::newRow("nothing arrives") << "" << -1 << 0 << 350 << 3000;
    QTest::newRow("part of a frame, then nothing") << "0123456789" << -1 << 10 << 350 << 3000;
    QTest::newRow("caller's shorter time-out") << "" << 100 << 0 << 80 << 2000;
    QTest::newRow("non-blocking read") << "" << 0 << 0 << 0 << 300;
    QTest::newRow("unplugged during the read") << "unplug" << -1 << 0 << 0 << 2000;
}

// A read that gets nothing more gives up after its time-out with what came,
// never before and never much later; a device unplugged under a read ends it.
void TestUsb::transferTimeouts()
{
    QFETCH(QString, reply);
    QFETCH(int, callerTimeoutMs);
    QFETCH(int, bytes);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    UsbSimDevicePtr device = plugAndWait(UsbDeviceSpec());
    QVERIFY(device);
    const QByteArray answer = reply == "unplug" ? QByteArray() : reply.toLatin1();
    device->setSessionFactory([answer] { return [answer](const QByteArray&) { return answer; }; });
    auto link = std::make_shared<TLibusbDevice>(0x2d8f, 0xa61c, "SN0001", 7, 1, 0, true, 5000, 2000, 8192, 8192, false);
    TNonblockingUsbSocket socket(link, 400, 2000, 65536);
    socket.open();
    const uint8_t request[] = { 1, 2, 3 };
    socket.write(request, sizeof request);
    socket.flush();
    std::thread unplugger;
    if (reply == "unplug") {
        unplugger = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            m_bed->unplug(device);
        });
    }

    QElapsedTimer timer;
    timer.start();
    uint8_t buf[64] = {};
    int got = 0;
    QString failure;
    try {
        if (callerTimeoutMs >= 0) {
            got = int(link->read(buf, sizeof buf, callerTimeoutMs));
        } else {
            for (;;) {
                got += int(socket.read(buf + got, uint32_t(sizeof buf - got)));
            }
        }
    } catch (const TTransportException& e) {
        failure = QString::number(e.getType());
    }
    const qint64 waited = timer.elapsed();
    if (unplugger.joinable()) {
        unplugger.join();
    }
    QCOMPARE(got, bytes);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), got), answer.left(got));
    // A socket read ends in an error: a time-out, or a link that is gone.
    const int expected = reply == "unplug" ? TTransportException::NOT_OPEN : TTransportException::TIMED_OUT;
    QCOMPARE(failure, callerTimeoutMs >= 0 ? QString() : QString::number(expected));
    QVERIFY2(waited >= minMs && waited <= maxMs, qPrintable(QString::number(waited)));
}

void TestUsb::connector_data()
{
    QTest::addColumn<QString>("fault");

    QTest::newRow("none") << "";
    QTest::newRow("stalled read") << "stall";
    QTest::newRow("unplugged") << "unplug";
}

void TestUsb::connector()
{
    QFETCH(QString, fault);

    UsbDeviceSpec spec;
    spec.usblpBound = true;
    UsbSimDevicePtr device = plugAndWait(spec);
    QVERIFY(device);
    SimPrinterConfig config;
    config.state = 3;
    config.flags = { 1, 7 };
    auto sim = std::make_shared<SimPrinter>(config);
    attachSimPrinter(device, sim);
    // The record as USB registration leaves it.
    auto record = std::make_shared<PrinterContext>(QStringLiteral("TR-M400"), QStringLiteral("2d8f:a61c:SN0001"), 7, 1);
    record->setIsUSB(true);
    record->setKind(1);
    std::string token;
    QCOMPARE(loginPrinter(record, DefaultAccount, defaultAccountPassword(), token, 1), 0);
    QVERIFY(!device->state().driverBound); // usblp detached while the link is open
    PrinterStatusReply status;

    if (fault.isEmpty()) {
        // Further calls go over the same link, kept open.
        QCOMPARE(getPrinterStatus(record, token, status, 1), 0);
        QCOMPARE(status.flags, (std::vector<int32_t>{ 1, 7 }));
        QCOMPARE(device->state().opens, 1);
        QCOMPARE(sim->stats().totalRequests(), 2);
        // Dropping the last connector closes the link and gives the printer
        // back to the kernel's driver.
        std::shared_ptr<Connector> connector = getManageConnector(record);
        resetConnectors(record);
        QCOMPARE(device->state().releases, 0); // still held here
        connector.reset();
        QCOMPARE(device->state().releases, 1);
        QVERIFY(device->state().driverBound);
        QTRY_COMPARE(device->state().closes, 1);
        return;
    }

    if (fault == "unplug")
        m_bed->unplug(device);
    else
        device->stallNextRead();
    QCOMPARE(getPrinterStatus(record, token, status, 1), -1);
    // The failed call closed the link and dropped its connectors.
    QTRY_COMPARE(device->state().closes, 1);
    QVERIFY(record->connectorIds().isEmpty());
    if (fault == "unplug") {
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
