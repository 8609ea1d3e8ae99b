// The device channel: SM4 and its frames, connector selection, and the calls
// against the simulated printer over loopback TCP (127.0.0.31-59, port 9202),
// with a 2000 ms receive time-out instead of two minutes.

#include "SimThread.h"

#include "SimPrinter.h"
#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
#include "channel/SafeConnector.h"
#include "channel/SocketConnector.h"
#include "channel/UsbConnector.h"
#include "ks_model_types.h"
#include "sm4/Sm4Cipher.h"
#include "transport/TSecurityTransport.h"

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>

#include <QElapsedTimer>
#include <QtTest>

#include <thread>

using namespace apache::thrift::transport;

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

// Hands out its bytes 333 at a time; records the largest read asked for.
class TrickleTransport : public TVirtualTransport<TrickleTransport>
{
public:
    explicit TrickleTransport(std::string data)
        : m_data(std::move(data))
    {
    }
    uint32_t read(uint8_t* buf, uint32_t len)
    {
        largestRequest = std::max(largestRequest, len);
        const uint32_t give = std::min<uint32_t>({ len, 333, uint32_t(m_data.size() - m_pos) });
        std::memcpy(buf, m_data.data() + m_pos, give);
        m_pos += give;
        return give;
    }
    uint32_t largestRequest = 0;

private:
    std::string m_data;
    size_t m_pos = 0;
};

// Hands out its bytes a few at a time with a pause before each piece, as a
// USB printer's bulk endpoint does; then, from stopAt on, nothing more, and
// closes there when asked to.
class PacedTransport : public TVirtualTransport<PacedTransport>
{
public:
    PacedTransport(std::string data, int gapMs, size_t stopAt, bool closeAtStop)
        : m_data(std::move(data))
        , m_gap(gapMs)
        , m_stopAt(std::min(stopAt, m_data.size()))
        , m_closeAtStop(closeAtStop)
    {
    }
    bool isOpen() const override { return !(m_closeAtStop && m_pos >= m_stopAt); }
    uint32_t read(uint8_t* buf, uint32_t len)
    {
        if (m_pos >= m_stopAt || std::chrono::steady_clock::now() - m_last < m_gap) {
            return 0;
        }
        const uint32_t give = std::min<uint32_t>({ len, 4, uint32_t(m_stopAt - m_pos) });
        std::memcpy(buf, m_data.data() + m_pos, give);
        m_pos += give;
        m_last = std::chrono::steady_clock::now();
        return give;
    }

private:
    std::string m_data;
    std::chrono::milliseconds m_gap;
    size_t m_stopAt;
    bool m_closeAtStop;
    size_t m_pos = 0;
    std::chrono::steady_clock::time_point m_last = std::chrono::steady_clock::now();
};

std::string encodeFrame(const std::string& payload)
{
    auto sink = std::make_shared<TMemoryBuffer>();
    TSecurityTransport frames(sink, channelCipher(), 16, 1024, 1 << 20);
    frames.write(reinterpret_cast<const uint8_t*>(payload.data()), uint32_t(payload.size()));
    frames.flush();
    return sink->getBufferAsString();
}

// A frame whose deciphered body is plain (padding included), under a zero IV.
QByteArray frameOfPlainBody(const QByteArray& plain)
{
    QByteArray frame(4 + 16 + plain.size(), '\0');
    frame[3] = char(16 + plain.size()); // bodies here are short
    const uint8_t iv[16] = {};
    channelCipher()->encryptCbc(iv, reinterpret_cast<const uint8_t*>(plain.constData()), size_t(plain.size()),
                                reinterpret_cast<uint8_t*>(frame.data() + 20));
    return frame;
}

QJsonObject simPrinter(const QString& address, QJsonObject config = {})
{
    config.insert(QStringLiteral("address"), address);
    return config;
}

PrinterContextPtr networkPrinter(const QString& ip)
{
    return std::make_shared<PrinterContext>(ip, QStringLiteral("queue-") + ip);
}

std::string login(const PrinterContextPtr& printer)
{
    std::string token;
    return loginPrinter(printer, DefaultAccount, defaultAccountPassword(), token, 1) == 0 ? token : std::string();
}

} // namespace

class TestChannel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { ConnectorRegistry::instance().clear(); }
    void sm4KnownAnswer();
    void wireFormat();
    void keyHandling_data();
    void keyHandling();
    void frameRoundTrip();
    void frameRejected_data();
    void frameRejected();
    void messageSizeLimit();
    void slowFrame_data();
    void slowFrame();
    void selection_data();
    void selection();
    void callsAgainstSimulator();
    void busyConnectorGivesMinusTwoWithoutSending();
    void faultModes_data();
    void faultModes();
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

void TestChannel::sm4KnownAnswer()
{
    // GB/T 32907-2016, appendix A, example 1: the simulator shares the cipher,
    // so only a known answer shows that it is SM4.
    const QByteArray key = QByteArray::fromHex("0123456789abcdeffedcba9876543210");
    QByteArray out(16, '\0');
    QVERIFY(cipherOf(key)->encryptEcb(reinterpret_cast<const uint8_t*>(key.constData()), 16,
                                      reinterpret_cast<uint8_t*>(out.data())));
    QCOMPARE(out.toHex(), QByteArray("681edf34d206965e86b3e94f536e4246"));
    QVERIFY(cipherOf(key)->decryptEcb(reinterpret_cast<const uint8_t*>(out.constData()), 16,
                                      reinterpret_cast<uint8_t*>(out.data())));
    QCOMPARE(out, key);
    QVERIFY(!cipherOf(key)->encryptEcb(reinterpret_cast<const uint8_t*>(key.constData()), 15,
                                       reinterpret_cast<uint8_t*>(out.data())));

    // The frames are chained: the CBC example of draft-ribose-cfrg-sm4.
    const QByteArray iv = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
    const QByteArray plain = QByteArray::fromHex("aaaaaaaabbbbbbbbccccccccddddddddeeeeeeeeffffffffaaaaaaaabbbbbbbb");
    QByteArray chained(plain.size(), '\0');
    QVERIFY(cipherOf(key)->encryptCbc(reinterpret_cast<const uint8_t*>(iv.constData()),
                                      reinterpret_cast<const uint8_t*>(plain.constData()), size_t(plain.size()),
                                      reinterpret_cast<uint8_t*>(chained.data())));
    QCOMPARE(chained.toHex(), QByteArray("78ebb11cc40b0a48312aaeb2040244cb4cb7016951909226979b0d15dc6a8f6d"));
}

template <typename T> QByteArray wireBytes(const T& value)
{
    auto buffer = std::make_shared<TMemoryBuffer>();
    apache::thrift::protocol::TBinaryProtocol protocol(buffer);
    value.write(&protocol);
    return QByteArray::fromStdString(buffer->getBufferAsString()).toHex(' ');
}

void TestChannel::wireFormat()
{
    // The simulator is built from the same IDL as the client, so a changed
    // field id would pass every call against it and fail on a real printer:
    // these are the bytes a printer sends and expects.
    using namespace ks::rpc::model;
    RequestContext login;
    login.__set_loginArgs(LoginArgs());
    login.loginArgs.account = "a";
    login.loginArgs.password = "p";
    QCOMPARE(wireBytes(login),
             QByteArray("0c 00 1e 0b 00 01 00 00 00 01 61 0b 00 02 00 00 00 01 70 "
                        "0b 00 03 00 00 00 00 00 00"));

    RequestContext info;
    info.__set_getDeviceInfoArgs(GetDeviceInfoArgs());
    info.getDeviceInfoArgs.token = "t";
    info.getDeviceInfoArgs.reqList = "r";
    QCOMPARE(wireBytes(info), QByteArray("0c 00 16 0b 00 01 00 00 00 01 74 0b 00 02 00 00 00 01 72 00 00"));

    GetPrinterStatusResponse status;
    status.resultCode = 0;
    status.state = 1;
    status.flags = { 2 };
    status.detail = "x";
    QCOMPARE(wireBytes(status),
             QByteArray("08 00 01 00 00 00 00 08 00 02 00 00 00 01 0f 00 03 08 00 00 00 01 "
                        "00 00 00 02 0b 00 04 00 00 00 01 78 00"));
}

void TestChannel::keyHandling_data()
{
    QTest::addColumn<int>("keyBytes");
    QTest::addColumn<int>("announced"); // the key length the transport is told
    QTest::newRow("16-byte key") << 16 << 16;
    QTest::newRow("15-byte key") << 15 << 15;
    QTest::newRow("32-byte key") << 32 << 32;
    QTest::newRow("transport told another length") << 16 << 32;
}

void TestChannel::keyHandling()
{
    QFETCH(int, keyBytes);
    QFETCH(int, announced);
    // A transport without a usable key refuses to open rather than send clear text.
    TSecurityTransport frames(std::make_shared<TMemoryBuffer>(), cipherOf(QByteArray(keyBytes, '\x5a')),
                              uint32_t(announced), 1024, 1 << 20);
    const bool usable = keyBytes == 16 && announced == 16;
    try {
        frames.open();
        QVERIFY(usable);
    } catch (const TTransportException& e) {
        QVERIFY(!usable);
        QCOMPARE(e.getType(), TTransportException::BAD_ARGS);
    }
}

void TestChannel::frameRoundTrip()
{
    // Around the cipher block, the 1024-byte buffer and its growth.
    for (int size : { 1, 15, 16, 1023, 1024, 1025, 100000 }) {
        std::string payload(size_t(size), '\0');
        for (int i = 0; i < size; ++i) {
            payload[size_t(i)] = char((i * 7 + 3) & 0xff);
        }
        const std::string frame = encodeFrame(payload);
        // The simulator shares the frame code, so the layout is checked here.
        const uint32_t length = 16 + uint32_t(size / 16 + 1) * 16;
        QCOMPARE(frame.size(), size_t(4 + length));
        QCOMPARE(frame.substr(0, 4),
                 std::string({ char(length >> 24), char(length >> 16), char(length >> 8), char(length) }));
        QVERIFY(size < 16 || frame.find(payload.substr(0, 16)) == std::string::npos);

        TSecurityTransport reader(std::make_shared<TrickleTransport>(frame), channelCipher(), 16, 1024, 1 << 20);
        std::string received(size_t(size), '\0');
        reader.readAll(reinterpret_cast<uint8_t*>(&received[0]), uint32_t(size));
        QVERIFY2(received == payload, qPrintable(QString::number(size)));
    }
}

void TestChannel::frameRejected_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("type");

    const QByteArray rest(100, 'a');
    // Deciphered padding must be 1 to 16 bytes, each holding the padding's
    // length.
    const QByteArray text(20, 'x');
    const int corrupted = int(TTransportException::CORRUPTED_DATA);
    const int ended = int(TTransportException::END_OF_FILE);
    QTest::newRow("padding 0") << frameOfPlainBody(QByteArray(31, 'x') + '\0') << corrupted;
    QTest::newRow("padding longer than a block") << frameOfPlainBody("abc" + QByteArray(29, char(29))) << corrupted;
    QTest::newRow("first padding byte differs") << frameOfPlainBody(text + '\3' + QByteArray(11, '\14')) << corrupted;
    QTest::newRow("padding byte before last differs")
        << frameOfPlainBody(text + QByteArray(10, '\14') + '\13' + '\14') << corrupted;
    QTest::newRow("length above the maximum") << QByteArray::fromHex("00100010") + rest << corrupted;
    QTest::newRow("not whole blocks") << QByteArray::fromHex("00000021") + rest << corrupted;
    QTest::newRow("IV without a block") << QByteArray::fromHex("00000010") + rest << corrupted;
    // Memory follows what arrives, not what the peer announced.
    QTest::newRow("512 KiB announced, 100 bytes sent") << QByteArray::fromHex("00080010") + rest << ended;
    QTest::newRow("truncated body") << QByteArray::fromStdString(encodeFrame("x")).left(30) << ended;
}

void TestChannel::frameRejected()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, type);
    auto inner = std::make_shared<TrickleTransport>(frame.toStdString());
    TSecurityTransport reader(inner, channelCipher(), 16, 1024, 1 << 20);
    uint8_t buf[64];
    try {
        reader.read(buf, sizeof buf);
        QFAIL("the frame was accepted");
    } catch (const TTransportException& e) {
        QCOMPARE(int(e.getType()), type);
    }
    QVERIFY(inner->largestRequest <= 1024);
}

void TestChannel::messageSizeLimit()
{
    // A 4096-byte frame: the IV, 4079 bytes and one of padding.
    auto sink = std::make_shared<TMemoryBuffer>();
    TSecurityTransport frames(sink, channelCipher(), 16, 1024, 4096);
    const std::string message(4080, 'b');
    QVERIFY_EXCEPTION_THROWN(frames.write(reinterpret_cast<const uint8_t*>(message.data()), 4080), TTransportException);
    frames.write(reinterpret_cast<const uint8_t*>(message.data()), 4079);
    frames.flush();
    QCOMPARE(sink->available_read(), 4100u);
}

void TestChannel::slowFrame_data()
{
    QTest::addColumn<int>("gapMs"); // between pieces of 4 bytes
    QTest::addColumn<int>("stopAt"); // bytes sent before the printer falls silent
    QTest::addColumn<bool>("closes"); // and then the link closes
    QTest::addColumn<int>("failure"); // -1: the whole message arrives
    // A 84-byte frame in 21 pieces: about 1 s in all against a 200 ms idle
    // time-out, which counts from the last data.
    QTest::newRow("slow but steady") << 50 << 1000 << false << -1;
    QTest::newRow("silent halfway") << 0 << 40 << false << int(TTransportException::TIMED_OUT);
    QTest::newRow("silent before the length") << 0 << 2 << false << int(TTransportException::TIMED_OUT);
    QTest::newRow("closed halfway") << 0 << 40 << true << int(TTransportException::END_OF_FILE);
}

void TestChannel::slowFrame()
{
    QFETCH(int, gapMs);
    QFETCH(int, stopAt);
    QFETCH(bool, closes);
    QFETCH(int, failure);
    const std::string payload(60, 'p');
    auto inner = std::make_shared<PacedTransport>(encodeFrame(payload), gapMs, size_t(stopAt), closes);
    TNonblockingSecurityTransport frames(inner, channelCipher(), 16, 1024, 1 << 20);
    frames.setIdleTimeout(std::chrono::milliseconds(200));
    std::string got(payload.size(), '\0');
    int thrown = -1;
    QElapsedTimer timer;
    timer.start();
    try {
        frames.readAll(reinterpret_cast<uint8_t*>(&got[0]), uint32_t(got.size()));
    } catch (const TTransportException& e) {
        thrown = e.getType();
    }
    QCOMPARE(thrown, failure);
    if (failure < 0) {
        QVERIFY2(timer.elapsed() > 400, "the pieces were not spread out");
        QCOMPARE(got, payload);
    } else if (failure == TTransportException::TIMED_OUT) {
        QVERIFY2(timer.elapsed() >= 190, qPrintable(QString::number(timer.elapsed())));
    }
}

void TestChannel::selection_data()
{
    QTest::addColumn<QString>("address"); // the printer's name when kind is 1
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("classB"); // class A is 7
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("innerId"); // empty: no connector
    QTest::addColumn<bool>("deviceFlag");
    QTest::newRow("network") << "127.0.0.37" << 0 << 0 << "TR-M400"
                             << "127.0.0.37:9202" << false;
    QTest::newRow("broadcast address") << "10.0.0.255" << 0 << 0 << "TR-M400"
                                       << "" << false;
    QTest::newRow("usb without class values") << "2d8f:a61c:SN1" << 0 << 0 << "TR-M400"
                                              << "" << false;
    QTest::newRow("usb TR-M400") << "2d8f:a61c:SN1" << 0 << 1 << "TR-M400"
                                 << "2D8F:A61C:SN1:7:1" << true;
    QTest::newRow("usb TR7200n") << "2d8f:a72c:SN2" << 0 << 1 << "OSTREL TR7200n"
                                 << "2D8F:A72C:SN2:7:1" << false;
    QTest::newRow("usb TR3200n") << "2d8f:a32c:SN3" << 0 << 2 << "TR3200n"
                                 << "2D8F:A32C:SN3:7:2" << false;
    QTest::newRow("usb by name") << "2d8f:a62c:SN4" << 1 << 1 << "TR-C3000"
                                 << "2D8F:A62C:SN4:7:1" << true;
}

void TestChannel::selection()
{
    QFETCH(QString, address);
    QFETCH(int, kind);
    QFETCH(int, classB);
    QFETCH(QString, model);
    QFETCH(QString, innerId);
    const QString ip = kind == 1 ? QStringLiteral("ignored") : address;
    auto printer = std::make_shared<PrinterContext>(ip, address, quint16(7), quint16(classB));
    printer->setKind(kind);
    printer->setModel(model);
    const std::shared_ptr<Connector> connector = getManageConnector(printer);
    QCOMPARE(bool(connector), !innerId.isEmpty());
    if (connector) {
        const QString safeId = innerId + QLatin1Char('|') + QString::fromLatin1(ChannelKey);
        QCOMPARE(printer->connectorIds(), (QStringList{ innerId, safeId }));
        QCOMPARE(getManageConnector(printer), connector); // reused
        auto inner = std::dynamic_pointer_cast<SafeConnector>(connector)->inner();
        if (auto usb = std::dynamic_pointer_cast<UsbConnector>(inner)) {
            QTEST(usb->deviceFlag(), "deviceFlag");
            QVERIFY(!connector->sharedOpen());
        }
    }
    resetConnectors(printer);
    QVERIFY(printer->connectorIds().isEmpty());
    QVERIFY(ConnectorRegistry::instance().ids().isEmpty());
}

void TestChannel::callsAgainstSimulator()
{
    // The printer derives the same password, so only a known answer shows a wrong digest.
    QCOMPARE(defaultAccountPassword(), std::string("20a2ccdd73a2f459331c4bf9c2e74783"));
    const QJsonObject versions{ { QStringLiteral("firmware"), QStringLiteral("3.0.1") },
                                { QStringLiteral("engine"), QStringLiteral("1.9.0") },
                                { QStringLiteral("protocol"), QStringLiteral("1.3.0") } };
    QVERIFY(m_sim->load({ simPrinter(QStringLiteral("127.0.0.31"),
                                     { { QStringLiteral("versions"), versions },
                                       { QStringLiteral("state"), 3 },
                                       { QStringLiteral("flags"), QJsonArray{ 4, 64 } } }) }));
    const auto sim = m_sim->printer(QStringLiteral("127.0.0.31"));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.31"));
    PrinterStatusReply status;
    QCOMPARE(getPrinterStatus(printer, "t", status, 0), -1); // no attempt: no connection
    QCOMPARE(sim->stats().connections, 0);

    const std::string token = login(printer);
    QVERIFY(!token.empty());
    std::string text;
    QCOMPARE(getPrinterDeviceId(printer, token, text, 1), 0);
    QCOMPARE(text, std::string("SIM-127.0.0.31"));
    QCOMPARE(getPrinterStatus(printer, token, status, 1), 0);
    QCOMPARE(status.state, 3);
    QCOMPARE(status.flags, (std::vector<int32_t>{ 4, 64 }));
    QCOMPARE(getPrinterDeviceInfo(printer, token, { "tonerGroup", "model" }, text, 1), 0);
    QCOMPARE(QJsonDocument::fromJson(QByteArray::fromStdString(text)).object().keys(),
             (QStringList{ QStringLiteral("model"), QStringLiteral("tonerGroup") }));

    PrinterVersions found;
    QCOMPARE(checkPrinterVersion(printer, "1.2.8", found), 0); // known without asking
    QCOMPARE(found.second, std::string("2.0.0"));
    QCOMPARE(checkPrinterVersion(printer, "1.2.9", found), 0);
    QCOMPARE(found.first + ' ' + found.second + ' ' + found.third, std::string("1.3.0 3.0.1 1.9.0"));
    // The printer's own refusals come back as its result codes.
    QCOMPARE(getPrinterStatus(printer, "stale", status, 1), SimPrinter::BadToken);
    QCOMPARE(loginPrinter(printer, DefaultAccount, "wrong", text, 1), SimPrinter::BadCredentials);
    // A socket connector opens a connection for every call.
    QCOMPARE(sim->stats().connections, 7);
}

void TestChannel::busyConnectorGivesMinusTwoWithoutSending()
{
    QVERIFY(m_sim->load({ simPrinter(QStringLiteral("127.0.0.34")) }));
    const auto sim = m_sim->printer(QStringLiteral("127.0.0.34"));
    const PrinterContextPtr printer = networkPrinter(QStringLiteral("127.0.0.34"));
    const std::shared_ptr<Connector> connector = getManageConnector(printer);
    QString token;
    QCOMPARE(connector->acquire(token), 0); // held, with its TCP connection
    QTRY_COMPARE(sim->stats().connections, 1);

    int result = 0;
    QElapsedTimer timer;
    timer.start();
    std::thread([&]() {
        PrinterStatusReply status;
        result = getPrinterStatus(printer, "any", status, 1);
    }).join();
    const qint64 waited = timer.elapsed();
    QCOMPARE(result, -2);
    QVERIFY2(waited >= 4900 && waited < 7000, qPrintable(QString::number(waited)));
    QCOMPARE(sim->stats().connections, 1);
    QCOMPARE(sim->stats().totalRequests(), 0);
    QCOMPARE(getManageConnector(printer), connector); // -2 does not rebuild
    QVERIFY(connector->release(token, false));
}

void TestChannel::faultModes_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("timesOut");

    QTest::newRow("refuse") << "refuse" << 0 << -1 << false;
    QTest::newRow("accept and never answer") << "silent" << 0 << -1 << true;
    QTest::newRow("answer late but in time") << "delay" << 300 << int(SimPrinter::BadToken) << false;
    QTest::newRow("reply dribbles in") << "dribble" << 100 << -1 << true;
    QTest::newRow("close mid-frame") << "closeMidFrame" << 0 << -1 << false;
    QTest::newRow("garbage") << "garbage" << 0 << -1 << false;
    QTest::newRow("oversized length") << "oversized" << 0 << -1 << false;
}

void TestChannel::faultModes()
{
    QFETCH(QString, fault);
    QFETCH(int, delayMs);
    QFETCH(int, expected);
    QFETCH(bool, timesOut);
    const QString address = QStringLiteral("127.0.0.40");
    QVERIFY(m_sim->load(
        { simPrinter(address, { { QStringLiteral("fault"), fault }, { QStringLiteral("delayMs"), delayMs } }) }));
    const auto sim = m_sim->printer(address);
    sim->resetStats(); // the simulator keeps a printer, and its counts, across loads
    const PrinterContextPtr printer = networkPrinter(address);

    // Failures are tried again on fresh connectors; time-outs once, for a short run.
    const int attempts = timesOut ? 1 : 2;
    QElapsedTimer timer;
    timer.start();
    PrinterStatusReply status;
    QCOMPARE(getPrinterStatus(printer, "any", status, attempts), expected);
    const qint64 elapsed = timer.elapsed();
    const bool waitedTimeOut = elapsed >= TestReceiveTimeoutMs - 100 && elapsed < TestReceiveTimeoutMs + 1500;
    QVERIFY2(timesOut ? waitedTimeOut : elapsed < TestReceiveTimeoutMs, qPrintable(QString::number(elapsed)));
    if (expected == -1) {
        QVERIFY(printer->connectorIds().isEmpty());
        QCOMPARE(sim->stats().connections, fault == QLatin1String("refuse") ? 0 : attempts);
    }

    // The simulator serves the next connection normally again.
    QVERIFY(m_sim->load({ simPrinter(address) }));
    QVERIFY(!login(printer).empty());
}

QTEST_GUILESS_MAIN(TestChannel)
#include "TestChannel.moc"
