// Writes the seed corpus of fuzz_receive: real replies of the simulated
// printer to the calls the agent makes, as the wire bytes and as the
// deciphered payloads.
//
// usage: fuzz-receive-seeds DIRECTORY
#include "ReceivePath.h"
#include "SimPrinter.h"
#include "SimSession.h"
#include "channel/PrinterOperations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

using namespace receivepath;
namespace model = ks::rpc::model;

namespace
{

// The agent's end of a link to a SimSession: a flush hands the bytes written
// to the session, whose replies are then read back. Every reply is kept.
class SimLoopTransport : public TVirtualTransport<SimLoopTransport>
{
public:
    explicit SimLoopTransport(std::shared_ptr<SimPrinter> printer)
        : m_session(std::move(printer))
    {
    }

    bool isOpen() const override { return true; }
    void open() override { }
    void close() override { }
    uint32_t read(uint8_t* buf, uint32_t len)
    {
        const uint32_t give = std::min<uint32_t>(len, uint32_t(m_in.size() - m_pos));
        std::memcpy(buf, m_in.data() + m_pos, give);
        m_pos += give;
        return give;
    }
    void write(const uint8_t* buf, uint32_t len) { m_out.append(reinterpret_cast<const char*>(buf), len); }
    void flush() override
    {
        for (const SimOutput& output : m_session.feed(m_out.data(), m_out.size())) {
            m_in.append(output.bytes.constData(), size_t(output.bytes.size()));
            m_lastReply = output.bytes.toStdString();
        }
        m_out.clear();
    }

    const std::string& lastReply() const { return m_lastReply; }

private:
    SimSession m_session;
    std::string m_in;
    size_t m_pos = 0;
    std::string m_out;
    std::string m_lastReply;
};

class SimConnector : public Connector
{
public:
    explicit SimConnector(std::shared_ptr<TTransport> transport)
        : Connector(true)
    {
        m_transport = std::move(transport);
    }
    QString connectorType() const override { return QStringLiteral("socket"); }
    bool open() override { return true; }
    void close() override { }
};

// The payload of the one frame that wire holds.
std::string decipher(const std::string& wire)
{
    auto memory = memoryOf(wire);
    TSecurityTransport frames(memory, channelCipher(), uint32_t(Sm4Cipher::KeySize), SafeConnector::BufferSize,
                              SafeConnector::MaxSocketFrameSize);
    std::string payload;
    uint8_t buf[256];
    while (frames.peek()) {
        const uint32_t got = frames.read(buf, sizeof buf);
        payload.append(reinterpret_cast<const char*>(buf), got);
    }
    return payload;
}

// The index of a wrapper target by name.
uint8_t wrapperIndex(const char* name)
{
    for (size_t i = 0; i < wrapperTargets().size(); ++i) {
        if (std::strcmp(wrapperTargets()[i].name, name) == 0) {
            return uint8_t(i);
        }
    }
    qFatal("no wrapper target %s", name);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: fuzz-receive-seeds DIRECTORY" << Qt::endl;
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    bool ok = true;
    int count = 0;
    const auto write = [&](const QString& name, uint8_t flags, uint8_t target, const std::string& bytes) {
        QFile file(dir + QLatin1Char('/') + name);
        const char header[HeaderBytes] = { char(flags), char(target) };
        ok = file.open(QIODevice::WriteOnly) && file.write(header, sizeof header) == HeaderBytes
            && file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size()) && ok;
        ++count;
    };

    // A printer with something in every field the agent reads.
    SimPrinterConfig config;
    config.address = QStringLiteral("127.0.0.1");
    config.model = QStringLiteral("TR-M400");
    config.deviceId = QStringLiteral("SIM-0001");
    config.state = 3;
    config.flags = { 4, 64 };
    config.detail = QStringLiteral("x,2,200030,201600");
    config.toners = QJsonArray{ QJsonObject{ { "tonerId", "K1" },
                                             { "tonerModel", "TN-400" },
                                             { "tonerColor", "black" },
                                             { "tonerDescription", "黑色墨粉" },
                                             { "maxCapacity", 8000 },
                                             { "suppliesLevel", 2000 } } };
    auto printer = std::make_shared<SimPrinter>(config);
    auto loop = std::make_shared<SimLoopTransport>(printer);
    auto connector = std::make_shared<SafeConnector>(std::make_shared<SimConnector>(loop), QLatin1String(ChannelKey));

    bool replayed = true;
    // Every reply becomes a wire seed (TCP and USB) and an enciphered-mode
    // seed of its payload.
    const auto keep = [&](const char* stem, const char* wrapper) {
        const std::string wire = loop->lastReply();
        const uint8_t index = wrapperIndex(wrapper);
        // The harness must see the reply as the wrapper saw it.
        if (wrapperTargets()[index].call(replayConnector(wire, false)) != 0
            || wrapperTargets()[index].call(replayConnector(wire, true)) != 0) {
            QTextStream(stderr) << "replaying the " << stem << " reply failed" << Qt::endl;
            replayed = false;
        }
        write(QStringLiteral("wire-%1").arg(QLatin1String(stem)), 0, index, wire);
        write(QStringLiteral("wire-usb-%1").arg(QLatin1String(stem)), UsbBit, index, wire);
        write(QStringLiteral("payload-%1").arg(QLatin1String(stem)), EncipheredBit, index, decipher(wire));
    };

    model::LoginArgs loginArgs;
    loginArgs.__set_account(DefaultAccount);
    loginArgs.__set_password(defaultAccountPassword());
    model::LoginResponse login;
    UserClient(connector).login(loginArgs, login);
    keep("login", "UserClient::login");

    model::GetDeviceIdArgs idArgs;
    idArgs.__set_token(login.token);
    model::GetDeviceIdResponse deviceId;
    DeviceClient(connector).getDeviceId(idArgs, deviceId);
    keep("device-id", "DeviceClient::getDeviceId");

    model::GetDeviceInfoArgs infoArgs;
    infoArgs.__set_token(login.token);
    infoArgs.__set_reqList(R"(["tonerGroup","model"])");
    model::GetDeviceInfoResponse info;
    DeviceClient(connector).getDeviceInfo(infoArgs, info);
    keep("device-info", "DeviceClient::getDeviceInfo");

    model::GetPrinterStatusArgs statusArgs;
    statusArgs.__set_token(login.token);
    model::GetPrinterStatusResponse status;
    DeviceClient(connector).getPrinterStatus(statusArgs, status);
    keep("status", "DeviceClient::getPrinterStatus");
    const std::string statusWire = loop->lastReply();

    model::GetVersionArgs versionArgs;
    versionArgs.__set_type({ model::ModuleType::PROTOCOL, model::ModuleType::FIRMWARE, model::ModuleType::ENGINE });
    model::GetVersionResponse versions;
    SystemClient(connector).getVersion(versionArgs, versions);
    keep("version", "SystemClient::getVersion");

    // A refused login and a stale token: replies with a result code only.
    loginArgs.__set_password("wrong");
    UserClient(connector).login(loginArgs, login);
    write(QStringLiteral("wire-login-refused"), 0, wrapperIndex("UserClient::login"), loop->lastReply());
    statusArgs.__set_token("stale");
    DeviceClient(connector).getPrinterStatus(statusArgs, status);
    write(QStringLiteral("wire-status-bad-token"), 0, wrapperIndex("DeviceClient::getPrinterStatus"),
          loop->lastReply());
    // What faulty printers send: half a frame.
    write(QStringLiteral("wire-half-frame"), 0, wrapperIndex("DeviceClient::getPrinterStatus"),
          statusWire.substr(0, statusWire.size() / 2));

    QTextStream(stdout) << "fuzz-receive-seeds: " << count << " seeds" << Qt::endl;
    return ok && replayed ? 0 : 1;
}
