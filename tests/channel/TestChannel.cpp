// Tests of the device channel: the SM4 cipher, the enciphered frames, the
// connectors and their selection and the per-printer operations, against the
// simulated printer over real loopback TCP.
//
// Addresses 127.0.0.31 to 127.0.0.59 on port 9202 belong to these tests.
// Connectors built here use a 2000 ms receive time-out so that a printer
// that never answers costs two seconds instead of two minutes.

#include "SimThread.h"

#include "SimPrinter.h"
#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
#include "channel/SafeConnector.h"
#include "channel/SocketConnector.h"
#include "channel/UsbConnector.h"
#include "datasecurity/DataSecurity.h"
#include "sm4/Sm4Cipher.h"
#include "transport/TSecurityTransport.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TProtocolException.h>
#include <thrift/transport/TBufferTransports.h>

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QtTest>

#include <thread>

using namespace apache::thrift::transport;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TProtocolException;

namespace
{

constexpr int TestReceiveTimeoutMs = 2000;

std::shared_ptr<Sm4Cipher> cipherOf(const QByteArray& key)
{
    return std::make_shared<Sm4Cipher>(reinterpret_cast<const uint8_t*>(key.constData()), size_t(key.size()));
}

std::shared_ptr<Sm4Cipher> channelCipher()
{
    return cipherOf(hexToBytes(QString::fromLatin1(ChannelKey)));
}

// Counts the log lines written while it lives.
class LogCapture
{
public:
    LogCapture()
    {
        QMutexLocker locker(&s_mutex);
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    // Lines logged under an operation name (the prefix "... name ]").
    int countFor(const QString& operation) const
    {
        const QString text = QStringLiteral(" %1 ]").arg(operation);
        QMutexLocker locker(&s_mutex);
        return int(std::count_if(s_lines.begin(), s_lines.end(), [&](const QString& l) { return l.contains(text); }));
    }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        QMutexLocker locker(&s_mutex);
        s_lines.append(message);
    }
    QtMessageHandler m_previous;
    static QMutex s_mutex;
    static QStringList s_lines;
};
QMutex LogCapture::s_mutex;
QStringList LogCapture::s_lines;

// A transport that opens and closes as told, for connector bookkeeping.
class SwitchTransport : public TVirtualTransport<SwitchTransport>
{
public:
    bool isOpen() const override { return m_open; }
    void open() override
    {
        if (failOpen) {
            throw TTransportException(TTransportException::NOT_OPEN, "switched off");
        }
        m_open = true;
        ++opens;
    }
    void close() override { m_open = false; }
    uint32_t read(uint8_t*, uint32_t) { return 0; }
    void write(const uint8_t*, uint32_t) { }
    void dropLink() { m_open = false; }

    bool failOpen = false;
    int opens = 0;

private:
    bool m_open = false;
};

class FakeConnector : public Connector
{
public:
    FakeConnector(const QString& type, bool sharedOpen)
        : Connector(sharedOpen)
        , fake(std::make_shared<SwitchTransport>())
        , m_type(type)
    {
        m_transport = fake;
    }
    QString connectorType() const override { return m_type; }
    bool open() override { return Connector::open(); }
    void close() override { Connector::close(); }
    std::shared_ptr<SwitchTransport> fake;

private:
    QString m_type;
};

// Hands out its bytes a few at a time; with gaps, every other read returns
// nothing, as a USB link between two bulk transfers does. Records the
// largest read asked for.
class TrickleTransport : public TVirtualTransport<TrickleTransport>
{
public:
    TrickleTransport(std::string data, uint32_t step, bool gaps)
        : m_data(std::move(data))
        , m_step(step)
        , m_gaps(gaps)
    {
    }
    bool isOpen() const override { return true; }
    uint32_t read(uint8_t* buf, uint32_t len)
    {
        largestRequest = std::max(largestRequest, len);
        if (m_gaps && (m_calls++ % 2 == 0)) {
            return 0;
        }
        const uint32_t give = std::min<uint32_t>({ len, m_step, uint32_t(m_data.size() - m_pos) });
        std::memcpy(buf, m_data.data() + m_pos, give);
        m_pos += give;
        return give;
    }
    void write(const uint8_t*, uint32_t) { }

    uint32_t largestRequest = 0;

private:
    std::string m_data;
    size_t m_pos = 0;
    uint32_t m_step;
    bool m_gaps;
    unsigned m_calls = 0;
};

std::string encodeFrame(const std::string& payload)
{
    auto sink = std::make_shared<TMemoryBuffer>();
    TSecurityTransport frames(sink, channelCipher(), 16, 1024, 1 << 20);
    frames.write(reinterpret_cast<const uint8_t*>(payload.data()), uint32_t(payload.size()));
    frames.flush();
    return sink->getBufferAsString();
}

// A frame whose deciphered body is exactly plain (whole blocks, padding
// included), under a zero IV.
QByteArray frameOfPlainBody(const QByteArray& plain)
{
    const uint32_t length = uint32_t(16 + plain.size());
    QByteArray frame(4 + 16 + plain.size(), '\0');
    for (int i = 0; i < 4; ++i) {
        frame[i] = char(length >> (24 - 8 * i));
    }
    const uint8_t iv[16] = {};
    channelCipher()->encryptCbc(iv, reinterpret_cast<const uint8_t*>(plain.constData()), size_t(plain.size()),
                                reinterpret_cast<uint8_t*>(frame.data() + 20));
    return frame;
}

std::shared_ptr<TMemoryBuffer> memory(const std::string& bytes)
{
    return std::make_shared<TMemoryBuffer>(reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data())),
                                           uint32_t(bytes.size()), TMemoryBuffer::COPY);
}

std::string payloadOfSize(int size)
{
    std::string payload(size_t(size), '\0');
    for (int i = 0; i < size; ++i) {
        payload[size_t(i)] = char((i * 7 + 3) & 0xff);
    }
    return payload;
}

QJsonObject normalPrinter(const QString& address)
{
    return QJsonObject{
        { QStringLiteral("address"), address },
        { QStringLiteral("model"), QStringLiteral("TR-M400") },
        { QStringLiteral("deviceId"), QStringLiteral("DEV-") + address },
        { QStringLiteral("state"), 3 },
        { QStringLiteral("flags"), QJsonArray{ 4, 64 } },
        { QStringLiteral("detail"), QStringLiteral("x,2,200030ab,201600") },
        { QStringLiteral("toners"),
          QJsonArray{ QJsonObject{ { QStringLiteral("tonerId"), QStringLiteral("K1") },
                                   { QStringLiteral("tonerDescription"), QStringLiteral("黑色墨粉") },
                                   { QStringLiteral("maxCapacity"), 8000 },
                                   { QStringLiteral("suppliesLevel"), 2000 } } } },
    };
}

QJsonObject with(QJsonObject printer, const QString& key, const QJsonValue& value)
{
    printer.insert(key, value);
    return printer;
}

PrinterContextPtr networkPrinter(const QString& ip)
{
    return std::make_shared<PrinterContext>(ip, QStringLiteral("queue-") + ip);
}

std::string login(const PrinterContextPtr& printer)
{
    std::string token;
    const int result = loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1);
    return result == 0 ? token : std::string();
}

} // namespace

class TestChannel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void sm4KnownAnswer();
    void keyHandling_data();
    void keyHandling();
    void md5KnownAnswer();
    void hexToBytes_data();
    void hexToBytes();

    void frameRoundTrip_data();
    void frameRoundTrip();
    void frameRejected_data();
    void frameRejected();
    void announcedLengthDoesNotDriveAllocation();
    void messageSizeLimit_data();
    void messageSizeLimit();
    void protocolLimits_data();
    void protocolLimits();

    void socketConnectorClosesAfterEveryCall();
    void usbConnectorStaysOpenUntilAFailure();
    void closedUsbLinkWithOwnerIsBusy();
    void selection_data();
    void selection();

    void pollCallsAgainstSimulator();
    void deviceInfoHoldsOnlyRequestedItems();
    void busyConnectorGivesMinusTwoWithoutSending();
    void refusedPrinterRebuildsConnectorsEveryAttempt();
    void zeroAttemptsTouchNothing();
    void versionCheck();
    void faultModes_data();
    void faultModes();
    void scenarioParsing_data();
    void scenarioParsing();

    void cleanupTestCase();

private:
    std::unique_ptr<SimThread> m_sim;
};

void TestChannel::initTestCase()
{
    SocketConnector::setReceiveTimeoutForTesting(TestReceiveTimeoutMs);
    m_sim = std::make_unique<SimThread>();
}

void TestChannel::cleanupTestCase()
{
    ConnectorRegistry::instance().clear();
    m_sim.reset();
    SocketConnector::setReceiveTimeoutForTesting(0);
}

void TestChannel::init()
{
    ConnectorRegistry::instance().clear();
}

void TestChannel::sm4KnownAnswer()
{
    // GB/T 32907-2016, appendix A, example 1.
    const QByteArray key = QByteArray::fromHex("0123456789abcdeffedcba9876543210");
    const auto* plain = reinterpret_cast<const uint8_t*>(key.constData());
    Sm4Cipher cipher(plain, size_t(key.size()));
    QByteArray out(16, '\0');
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    QVERIFY(cipher.encryptEcb(plain, 16, o));
    QCOMPARE(out.toHex(), QByteArray("681edf34d206965e86b3e94f536e4246"));
    QVERIFY(cipher.decryptEcb(o, 16, o));
    QCOMPARE(out, key);
    // CBC with a zero IV equals ECB on the first block.
    const uint8_t iv[16] = {};
    QVERIFY(cipher.encryptCbc(iv, plain, 16, o));
    QCOMPARE(out.toHex(), QByteArray("681edf34d206965e86b3e94f536e4246"));
    QVERIFY(!cipher.encryptEcb(plain, 15, o)); // only whole blocks
}

void TestChannel::keyHandling_data()
{
    QTest::addColumn<int>("keyBytes");
    QTest::addColumn<int>("announced"); // the key length the transport is told
    QTest::addColumn<bool>("usable");

    QTest::newRow("16-byte key") << 16 << 16 << true;
    QTest::newRow("no key") << 0 << 0 << false;
    QTest::newRow("15-byte key") << 15 << 15 << false;
    QTest::newRow("17-byte key") << 17 << 17 << false;
    QTest::newRow("32-byte key") << 32 << 32 << false;
    QTest::newRow("transport told another length") << 16 << 32 << false;
}

void TestChannel::keyHandling()
{
    QFETCH(int, keyBytes);
    QFETCH(int, announced);
    QFETCH(bool, usable);
    QByteArray key(keyBytes, '\0');
    for (int i = 0; i < keyBytes; ++i) {
        key[i] = char(i * 13 + 1);
    }
    const auto cipher = cipherOf(key);
    uint8_t block[16] = {};
    QCOMPARE(cipher->encryptEcb(block, 16, block), keyBytes == 16);

    // A transport without a usable key refuses to open rather than send clear text.
    TSecurityTransport frames(std::make_shared<TMemoryBuffer>(), cipher, uint32_t(announced), 1024, 1 << 20);
    bool opened = true;
    try {
        frames.open();
    } catch (const TTransportException& e) {
        QCOMPARE(e.getType(), TTransportException::BAD_ARGS);
        opened = false;
    }
    QCOMPARE(opened, usable);
}

void TestChannel::md5KnownAnswer()
{
    // RFC 1321 test suite: the printer derives the same password, so only a
    // known answer shows a wrong digest. The key comes first.
    QCOMPARE(ds::DataSecurity::decode("MD5", "bc", "a"), std::string("900150983cd24fb0d6963f7d28e17f72"));
    QCOMPARE(ds::DataSecurity::decode("SHA1", "abc", ""), std::string());
}

void TestChannel::hexToBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("channel key") << QString::fromLatin1(ChannelKey)
                                 << QByteArray::fromHex("3a7c91e405b86d2fc3581ea974d06b82");
    QTest::newRow("stops at a bad part") << "0a zz 01" << QByteArray::fromHex("0a");
    QTest::newRow("extra blanks") << "  3a \t 7c  " << QByteArray::fromHex("3a7c");
    QTest::newRow("low byte kept") << "1ff" << QByteArray::fromHex("ff");
}

void TestChannel::hexToBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(::hexToBytes(text), expected);
}

void TestChannel::frameRoundTrip_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("nonblocking");

    // Around the cipher block, the 1024-byte buffer and growth steps.
    for (int size : { 1, 15, 16, 17, 1004, 1005, 1023, 1024, 1025, 2049, 100000 }) {
        QTest::addRow("%d bytes", size) << size << false;
        QTest::addRow("%d bytes, trickled", size) << size << true;
    }
}

void TestChannel::frameRoundTrip()
{
    QFETCH(int, size);
    QFETCH(bool, nonblocking);
    const std::string payload = payloadOfSize(size);
    const std::string frame = encodeFrame(payload);

    const size_t body = (size_t(size) / 16 + 1) * 16;
    QCOMPARE(frame.size(), 4 + 16 + body);
    const auto* p = reinterpret_cast<const uint8_t*>(frame.data());
    QCOMPARE((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3], uint32_t(16 + body));
    QVERIFY(frame.find(payload.substr(0, 16)) == std::string::npos || size < 16);

    std::unique_ptr<TSecurityTransport> reader;
    if (nonblocking) {
        reader = std::make_unique<TNonblockingSecurityTransport>(std::make_shared<TrickleTransport>(frame, 7, true),
                                                                 channelCipher(), 16, 1024, 8 << 20);
    } else {
        reader = std::make_unique<TSecurityTransport>(std::make_shared<TrickleTransport>(frame, 333, false),
                                                      channelCipher(), 16, 1024, 256 << 20);
    }
    std::string received(size_t(size), '\0');
    reader->readAll(reinterpret_cast<uint8_t*>(&received[0]), uint32_t(size));
    QVERIFY(received == payload);
}

void TestChannel::frameRejected_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("type");

    const std::string two = encodeFrame(std::string(20, 'x')); // two cipher blocks
    auto header = [](uint32_t n) {
        const char h[4] = { char(n >> 24), char(n >> 16), char(n >> 8), char(n) };
        return QByteArray(h, 4) + QByteArray(64, 'a');
    };
    // Bodies as they decipher: the padding must be 1 to 16 bytes, each
    // holding the padding's length.
    const QByteArray text(20, 'x');
    const int corrupted = int(TTransportException::CORRUPTED_DATA);
    QTest::newRow("padding 0") << frameOfPlainBody(QByteArray(31, 'x') + '\0') << corrupted;
    QTest::newRow("padding longer than a block") << frameOfPlainBody("abc" + QByteArray(29, char(29))) << corrupted;
    QTest::newRow("padding longer than the body") << frameOfPlainBody(QByteArray(16, char(17))) << corrupted;
    QTest::newRow("first padding byte differs")
        << frameOfPlainBody(text + '\x03' + QByteArray(11, '\x0c')) << corrupted;
    QTest::newRow("padding byte before last differs")
        << frameOfPlainBody(text + QByteArray(10, '\x0c') + '\x0b' + '\x0c') << corrupted;
    QTest::newRow("length above the maximum") << header((1 << 20) + 16) << corrupted;
    QTest::newRow("length 0xffffffff") << header(0xffffffffu) << corrupted;
    QTest::newRow("not whole blocks") << header(16 + 17) << corrupted;
    QTest::newRow("IV without a block") << header(16) << corrupted;
    QTest::newRow("empty length") << header(0) << corrupted;
    QTest::newRow("truncated body") << QByteArray::fromStdString(two).left(int(two.size()) - 5)
                                    << int(TTransportException::END_OF_FILE);
    QTest::newRow("truncated header") << QByteArray::fromStdString(two).left(3)
                                      << int(TTransportException::END_OF_FILE);
}

void TestChannel::frameRejected()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, type);
    TSecurityTransport reader(memory(frame.toStdString()), channelCipher(), 16, 1024, 1 << 20);
    uint8_t buf[64];
    try {
        reader.read(buf, sizeof buf);
        QFAIL("the frame was accepted");
    } catch (const TTransportException& e) {
        QCOMPARE(int(e.getType()), type);
    }
}

void TestChannel::announcedLengthDoesNotDriveAllocation()
{
    // 8 MiB announced (within the maximum), 100 bytes sent.
    std::string bytes("\x00\x80\x00\x00", 4);
    bytes += std::string(100, 'z');
    auto inner = std::make_shared<TrickleTransport>(bytes, 4096, false);
    TSecurityTransport reader(inner, channelCipher(), 16, 1024, 256 << 20);
    uint8_t buf[16];
    QVERIFY_EXCEPTION_THROWN(reader.read(buf, sizeof buf), TTransportException);
    QVERIFY(inner->largestRequest <= 1024);
}

void TestChannel::messageSizeLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("sent");
    // A 4096-byte frame holds the IV and 4080 bytes: 4079 bytes and their padding.
    QTest::newRow("largest message") << 4079 << true;
    QTest::newRow("one byte more") << 4080 << false;
    QTest::newRow("empty message") << 0 << false;
}

void TestChannel::messageSizeLimit()
{
    QFETCH(int, size);
    QFETCH(bool, sent);
    auto sink = std::make_shared<TMemoryBuffer>();
    TSecurityTransport frames(sink, channelCipher(), 16, 1024, 4096);
    const std::string message(size_t(size), 'b');
    try {
        frames.write(reinterpret_cast<const uint8_t*>(message.data()), uint32_t(size));
        QVERIFY(sent || size == 0);
    } catch (const TTransportException&) {
        QVERIFY(!sent);
    }
    frames.flush();
    QCOMPARE(sink->available_read(), sent ? 4100u : 0u);
}

void TestChannel::protocolLimits_data()
{
    QTest::addColumn<bool>("container");
    QTest::newRow("string of 2 GiB announced") << false;
    QTest::newRow("list of 100 million announced") << true;
}

void TestChannel::protocolLimits()
{
    // A well-formed frame whose Thrift content announces a huge size.
    QFETCH(bool, container);
    auto plain = std::make_shared<TMemoryBuffer>();
    TBinaryProtocol writer(plain);
    if (container) {
        writer.writeListBegin(apache::thrift::protocol::T_I32, 100000000);
    } else {
        writer.writeI32(0x7ffffff0);
    }
    const std::string frame = encodeFrame(plain->getBufferAsString() + "tail");
    auto frames = std::make_shared<TSecurityTransport>(memory(frame), channelCipher(), 16, 1024, 256 << 20);
    TBinaryProtocol reader(frames, TSecurityTransport::ProtocolStringLimit, TSecurityTransport::ProtocolContainerLimit,
                           true, true);
    try {
        apache::thrift::protocol::TType type;
        uint32_t size = 0;
        std::string text;
        container ? reader.readListBegin(type, size) : reader.readString(text);
        QFAIL("the size was accepted");
    } catch (const TProtocolException& e) {
        QCOMPARE(e.getType(), TProtocolException::SIZE_LIMIT);
    }
}

void TestChannel::socketConnectorClosesAfterEveryCall()
{
    FakeConnector connector(QStringLiteral("socket"), true);
    connector.fake->failOpen = true;
    QString token;
    QCOMPARE(connector.acquire(token), -1);
    QVERIFY(token.isEmpty());
    connector.fake->failOpen = false; // the usage lock was given back: no -2
    for (int call = 1; call <= 2; ++call) {
        QCOMPARE(connector.acquire(token), 0);
        QVERIFY(!token.isEmpty());
        QVERIFY(connector.release(token, false));
        QVERIFY(!connector.fake->isOpen());
        QCOMPARE(connector.fake->opens, call);
    }
}

void TestChannel::usbConnectorStaysOpenUntilAFailure()
{
    FakeConnector connector(QStringLiteral("usb"), false);
    QString owner;
    QCOMPARE(connector.acquire(owner), 0);
    QVERIFY(!owner.isEmpty());
    QVERIFY(connector.release(owner, false));
    QVERIFY(connector.fake->isOpen());

    // Later calls find the link open and get no token.
    QString token;
    QCOMPARE(connector.acquire(token), 0);
    QVERIFY(token.isEmpty());
    QVERIFY(!connector.release(token, false)); // not the owner: nothing closed
    QVERIFY(connector.fake->isOpen());

    // A call that failed closes the link even without the owner's token.
    QCOMPARE(connector.acquire(token), 0);
    QVERIFY(!connector.release(token, true));
    QVERIFY(!connector.fake->isOpen());

    // The next call opens it again, with a new owner.
    QString next;
    QCOMPARE(connector.acquire(next), 0);
    QVERIFY(!next.isEmpty() && next != owner);
    QCOMPARE(connector.fake->opens, 2);
    connector.release(next, false);
}

void TestChannel::closedUsbLinkWithOwnerIsBusy()
{
    FakeConnector connector(QStringLiteral("usb"), false);
    QString owner;
    QCOMPARE(connector.acquire(owner), 0);
    connector.release(owner, false);
    connector.fake->dropLink(); // the link went away under the connector
    QString token;
    QCOMPARE(connector.acquire(token), -2);
    QCOMPARE(connector.fake->opens, 1);

    // A shared-open connector reopens instead.
    FakeConnector shared(QStringLiteral("usb"), true);
    QCOMPARE(shared.acquire(owner), 0);
    shared.release(owner, false);
    shared.fake->dropLink();
    QCOMPARE(shared.acquire(token), 0);
    shared.release(token, true);
}

void TestChannel::selection_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("printerName");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("classA");
    QTest::addColumn<int>("classB");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("innerId"); // empty: no connector
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("deviceFlag");

    QTest::newRow("network") << "127.0.0.37"
                             << "q" << 0 << 0 << 0 << "TR-M400"
                             << "127.0.0.37:9202"
                             << "socket" << false;
    QTest::newRow("broadcast address is no network printer") << "10.0.0.255"
                                                             << "q" << 0 << 0 << 0 << "TR-M400"
                                                             << ""
                                                             << "" << false;
    QTest::newRow("usb without class values") << "2d8f:a61c:SN1"
                                              << "q" << 0 << 7 << 0 << "TR-M400"
                                              << ""
                                              << "" << false;
    QTest::newRow("usb TR-M400") << "2d8f:a61c:SN1"
                                 << "q" << 0 << 7 << 1 << "TR-M400"
                                 << "2D8F:A61C:SN1:7:1"
                                 << "usb" << true;
    QTest::newRow("usb TR7200n") << "2d8f:a72c:SN2"
                                 << "q" << 0 << 7 << 1 << "OSTREL TR7200n"
                                 << "2D8F:A72C:SN2:7:1"
                                 << "usb" << false;
    QTest::newRow("usb TR3200n") << "2d8f:a32c:SN3"
                                 << "q" << 0 << 255 << 2 << "TR3200n"
                                 << "2D8F:A32C:SN3:255:2"
                                 << "usb" << false;
    QTest::newRow("usb registered by name") << "ignored"
                                            << "2d8f:a62c:SN4" << 1 << 7 << 1 << "TR-C3000"
                                            << "2D8F:A62C:SN4:7:1"
                                            << "usb" << true;
}

void TestChannel::selection()
{
    QFETCH(QString, ip);
    QFETCH(QString, printerName);
    QFETCH(int, kind);
    QFETCH(int, classA);
    QFETCH(int, classB);
    QFETCH(QString, model);
    QFETCH(QString, innerId);
    QFETCH(QString, type);
    QFETCH(bool, deviceFlag);

    auto printer = std::make_shared<PrinterContext>(ip, printerName, quint16(classA), quint16(classB));
    printer->setKind(kind);
    printer->setModel(model);
    const std::shared_ptr<Connector> connector = getManageConnector(printer);
    if (innerId.isEmpty()) {
        QVERIFY(!connector);
        QVERIFY(printer->connectorIds().isEmpty());
        return;
    }
    QVERIFY(connector);
    QCOMPARE(connector->connectorType(), type);
    const QString safeId = innerId + QLatin1Char('|') + QString::fromLatin1(ChannelKey);
    QCOMPARE(printer->connectorIds(), (QStringList{ innerId, safeId }));
    QCOMPARE(ConnectorRegistry::instance().find(safeId), connector);
    QCOMPARE(getManageConnector(printer), connector); // same object next time
    QCOMPARE(printer->connectorIds().size(), 2);

    auto safe = std::dynamic_pointer_cast<SafeConnector>(connector);
    if (type == QLatin1String("usb")) {
        auto usb = std::dynamic_pointer_cast<UsbConnector>(safe->inner());
        QCOMPARE(usb->deviceFlag(), deviceFlag);
        QVERIFY(!usb->sharedOpen() && !safe->sharedOpen());
    }

    resetConnectors(printer);
    QVERIFY(printer->connectorIds().isEmpty());
    QVERIFY(!ConnectorRegistry::instance().find(safeId));
    QVERIFY(!ConnectorRegistry::instance().find(innerId));
}

void TestChannel::pollCallsAgainstSimulator()
{
    QVERIFY(m_sim->load({ normalPrinter(QStringLiteral("127.0.0.31")),
                          with(normalPrinter(QStringLiteral("127.0.0.32")), QStringLiteral("loginResult"), 7) }));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.31"));

    const std::string token = login(printer);
    QVERIFY(!token.empty());

    std::string deviceId;
    QCOMPARE(getPrinterDeviceId(printer, token, deviceId, 1), 0);
    QCOMPARE(QString::fromStdString(deviceId), QStringLiteral("DEV-127.0.0.31"));

    PrinterStatusReply status;
    QCOMPARE(getPrinterStatus(printer, token, status, 1), 0);
    QCOMPARE(status.state, 3);
    QCOMPARE(status.flags, (std::vector<int32_t>{ 4, 64 }));
    QCOMPARE(QString::fromStdString(status.detail), QStringLiteral("x,2,200030ab,201600"));

    // The printer's own refusals come back as its result codes.
    QCOMPARE(getPrinterStatus(printer, "stale", status, 1), SimPrinter::BadToken);
    std::string refusedToken;
    QCOMPARE(loginPrinter(printer, DefaultAccount, "wrong", refusedToken, 1), SimPrinter::BadCredentials);
    QCOMPARE(loginPrinter(networkPrinter(QStringLiteral("127.0.0.32")), DefaultAccount, defaultAccountPassword(),
                          refusedToken, 1),
             7);
}

void TestChannel::deviceInfoHoldsOnlyRequestedItems()
{
    QVERIFY(m_sim->load({ normalPrinter(QStringLiteral("127.0.0.31")) }));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.31"));
    std::string info;
    QCOMPARE(getPrinterDeviceInfo(printer, login(printer), { "tonerGroup", "model" }, info, 1), 0);
    const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(info)).object();
    QCOMPARE(object.keys(), (QStringList{ QStringLiteral("model"), QStringLiteral("tonerGroup") }));
    const QJsonObject toner = object.value(QStringLiteral("tonerGroup"))
                                  .toObject()
                                  .value(QStringLiteral("toners"))
                                  .toArray()
                                  .at(0)
                                  .toObject();
    QCOMPARE(toner.value(QStringLiteral("suppliesLevel")).toInt(), 2000);
    QCOMPARE(toner.value(QStringLiteral("tonerDescription")).toString(), QStringLiteral("黑色墨粉"));
    QCOMPARE(object.value(QStringLiteral("model")).toString(), QStringLiteral("TR-M400"));
}

void TestChannel::busyConnectorGivesMinusTwoWithoutSending()
{
    QVERIFY(m_sim->load({ normalPrinter(QStringLiteral("127.0.0.34")) }));
    const auto sim = m_sim->printer(QStringLiteral("127.0.0.34"));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.34"));

    // The first caller holds the connector (and its TCP connection).
    const std::shared_ptr<Connector> connector = getManageConnector(printer);
    QString token;
    QCOMPARE(connector->acquire(token), 0);
    QTRY_COMPARE(sim->stats().connections, 1);

    int result = 0;
    qint64 waited = 0;
    std::thread second([&]() {
        QElapsedTimer timer;
        timer.start();
        PrinterStatusReply status;
        result = getPrinterStatus(printer, "any", status, 1);
        waited = timer.elapsed();
    });
    second.join();
    QCOMPARE(result, -2);
    QVERIFY2(waited >= 4900 && waited < 7000, qPrintable(QString::number(waited)));
    QCOMPARE(sim->stats().connections, 1);
    QCOMPARE(sim->stats().totalRequests(), 0);
    QCOMPARE(getManageConnector(printer), connector); // -2 does not rebuild
    QVERIFY(connector->release(token, false));
}

void TestChannel::refusedPrinterRebuildsConnectorsEveryAttempt()
{
    QVERIFY(m_sim->load(
        { with(normalPrinter(QStringLiteral("127.0.0.35")), QStringLiteral("fault"), QStringLiteral("refuse")) }));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.35"));
    const std::shared_ptr<Connector> before = getManageConnector(printer);

    LogCapture log;
    PrinterStatusReply status;
    QCOMPARE(getPrinterStatus(printer, "any", status, 3), -1);
    QCOMPARE(log.countFor(QStringLiteral("open")), 3);
    QVERIFY(printer->connectorIds().isEmpty());
    QVERIFY(getManageConnector(printer) != before);

    std::string token;
    QCOMPARE(loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 2), -1);
    QCOMPARE(log.countFor(QStringLiteral("open")), 5);
}

void TestChannel::zeroAttemptsTouchNothing()
{
    QVERIFY(m_sim->load({ normalPrinter(QStringLiteral("127.0.0.36")) }));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.36"));

    std::string text;
    PrinterStatusReply status;
    PrinterVersions versions;
    QCOMPARE(loginPrinter(printer, DefaultAccount, defaultAccountPassword(), text, 0), -1);
    QCOMPARE(getPrinterDeviceId(printer, "t", text, 0), -1);
    QCOMPARE(getPrinterDeviceInfo(printer, "t", { "model" }, text, 0), -1);
    QCOMPARE(getPrinterStatus(printer, "t", status, -3), -1);
    QCOMPARE(getPrinterVersion(printer, versions, 0), -1);

    QVERIFY(printer->connectorIds().isEmpty());
    QVERIFY(ConnectorRegistry::instance().ids().isEmpty());
    QCOMPARE(m_sim->printer(QStringLiteral("127.0.0.36"))->stats().connections, 0);
}

void TestChannel::versionCheck()
{
    QVERIFY(m_sim->load({ with(normalPrinter(QStringLiteral("127.0.0.37")), QStringLiteral("versions"),
                               QJsonObject{ { QStringLiteral("firmware"), QStringLiteral("3.0.1") },
                                            { QStringLiteral("engine"), QStringLiteral("1.9.0") },
                                            { QStringLiteral("protocol"), QStringLiteral("1.3.0") } }) }));
    const auto sim = m_sim->printer(QStringLiteral("127.0.0.37"));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.37"));

    PrinterVersions versions;
    QCOMPARE(checkPrinterVersion(printer, "1.2.8", versions), 0);
    QCOMPARE(versions.second, std::string("2.0.0"));
    QVERIFY(versions.first.empty() && versions.third.empty());
    QCOMPARE(sim->stats().connections, 0);

    // Any other version asks the printer for module types 2, 0 and 1.
    QCOMPARE(checkPrinterVersion(printer, "1.2.9", versions), 0);
    QCOMPARE(versions.first, std::string("1.3.0"));
    QCOMPARE(versions.second, std::string("3.0.1"));
    QCOMPARE(versions.third, std::string("1.9.0"));
    QCOMPARE(sim->stats().requests.value(QStringLiteral("getVersion")), 1);
}

void TestChannel::faultModes_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("loggedUnder");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    const int timeout = TestReceiveTimeoutMs;
    QTest::newRow("refuse") << "refuse" << 0 << -1 << "open" << 0 << 1000;
    QTest::newRow("accept and never answer")
        << "silent" << 0 << -1 << "getPrinterStatus" << timeout - 100 << timeout + 1500;
    QTest::newRow("answer after the time-out")
        << "delay" << timeout + 2000 << -1 << "getPrinterStatus" << timeout - 100 << timeout + 1500;
    QTest::newRow("answer late but in time") << "delay" << 300 << int(SimPrinter::BadToken) << "" << 250 << 1500;
    QTest::newRow("close mid-frame") << "closeMidFrame" << 0 << -1 << "getPrinterStatus" << 0 << 1000;
    QTest::newRow("garbage") << "garbage" << 0 << -1 << "getPrinterStatus" << 0 << 1000;
    QTest::newRow("oversized length") << "oversized" << 0 << -1 << "getPrinterStatus" << 0 << 1000;
}

void TestChannel::faultModes()
{
    QFETCH(QString, fault);
    QFETCH(int, delayMs);
    QFETCH(int, expected);
    QFETCH(QString, loggedUnder);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    const QString address = QStringLiteral("127.0.0.40");
    QJsonObject config = with(normalPrinter(address), QStringLiteral("fault"), fault);
    config.insert(QStringLiteral("delayMs"), delayMs);
    QVERIFY(m_sim->load({ config }));
    const PrinterContextPtr printer = networkPrinter(address);

    LogCapture log;
    QElapsedTimer timer;
    timer.start();
    PrinterStatusReply status;
    const int result = getPrinterStatus(printer, "any", status, 1);
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(result, expected);
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
    if (!loggedUnder.isEmpty()) {
        QCOMPARE(log.countFor(loggedUnder), 1);
        QVERIFY(printer->connectorIds().isEmpty()); // reset after -1
    }

    // The simulator serves the next connection normally again.
    QVERIFY(m_sim->load({ normalPrinter(address) }));
    QVERIFY(!login(printer).empty());
}

void TestChannel::scenarioParsing_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("printers"); // -1: rejected

    QFile example(QStringLiteral(PSM_SOURCE_DIR "/tools/printer-sim/example-scenario.json"));
    QVERIFY(example.open(QIODevice::ReadOnly));
    QTest::newRow("shipped example") << example.readAll() << 2;
    QTest::newRow("address only") << QByteArray(R"({"printers":[{"address":"127.0.0.39"}]})") << 1;
    QTest::newRow("same address, other port")
        << QByteArray(R"({"printers":[{"address":"127.0.0.39"},{"address":"127.0.0.39","port":9300}]})") << 2;
    QTest::newRow("not JSON") << QByteArray("{printers") << -1;
    QTest::newRow("no printers array") << QByteArray(R"({"printer":[]})") << -1;
    QTest::newRow("host name") << QByteArray(R"({"printers":[{"address":"printer.local"}]})") << -1;
    QTest::newRow("address twice") << QByteArray(R"({"printers":[{"address":"127.0.0.39"},{"address":"127.0.0.39"}]})")
                                   << -1;
    QTest::newRow("unknown fault") << QByteArray(R"({"printers":[{"address":"127.0.0.39","fault":"melt"}]})") << -1;
}

void TestChannel::scenarioParsing()
{
    QFETCH(QByteArray, json);
    QFETCH(int, printers);
    SimScenario scenario;
    QString error;
    const bool ok = parseScenario(json, scenario, &error);
    QCOMPARE(ok, printers >= 0);
    if (ok) {
        QCOMPARE(scenario.printers.size(), printers);
    } else {
        QVERIFY(!error.isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestChannel)
#include "TestChannel.moc"
