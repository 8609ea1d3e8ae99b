#include "SimPrinter.h"

#include "channel/RpcMethods.h"
#include "datasecurity/DataSecurity.h"

#include "ks_model_types.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

using namespace ks::rpc::model;

namespace
{

constexpr size_t KeptTokens = 256;

// The factory secret from which the default account's password derives.
constexpr const char* DefaultAccountSeed = "Ks#Mgmt2019";

std::string utf8(const QString& text)
{
    return text.toStdString();
}

// Device information restricted to the items named in reqList.
bool deviceInfo(const SimPrinterConfig& config, const std::string& reqList, std::string& json)
{
    const QJsonDocument request = QJsonDocument::fromJson(QByteArray::fromStdString(reqList));
    if (!request.isArray()) {
        return false;
    }
    QJsonObject info;
    for (const QJsonValue& item : request.array()) {
        const QString name = item.toString();
        if (name == QLatin1String("model")) {
            info.insert(name, config.model);
        } else if (name == QLatin1String("mac")) {
            info.insert(name, config.mac);
        } else if (name == QLatin1String("deviceId")) {
            info.insert(name, config.deviceId);
        } else if (name == QLatin1String("tonerGroup")) {
            info.insert(name, QJsonObject{ { QStringLiteral("toners"), config.toners } });
        }
    }
    json = QJsonDocument(info).toJson(QJsonDocument::Compact).toStdString();
    return true;
}

} // namespace

std::string simDefaultPassword()
{
    return ds::DataSecurity::decode("MD5", DefaultAccountSeed, "");
}

int SimPrinter::Stats::totalRequests() const
{
    int total = 0;
    for (int count : requests) {
        total += count;
    }
    return total;
}

SimPrinter::SimPrinter(const SimPrinterConfig& config)
    : m_config(config)
{
}

SimPrinterConfig SimPrinter::config() const
{
    QMutexLocker locker(&m_mutex);
    return m_config;
}

void SimPrinter::setConfig(const SimPrinterConfig& config)
{
    QMutexLocker locker(&m_mutex);
    m_config = config;
}

SimPrinter::Stats SimPrinter::stats() const
{
    QMutexLocker locker(&m_mutex);
    return m_stats;
}

void SimPrinter::resetStats()
{
    QMutexLocker locker(&m_mutex);
    m_stats = Stats();
}

void SimPrinter::countConnection()
{
    QMutexLocker locker(&m_mutex);
    ++m_stats.connections;
}

void SimPrinter::countRejectedFrame()
{
    QMutexLocker locker(&m_mutex);
    ++m_stats.rejectedFrames;
}

std::string SimPrinter::issueToken()
{
    std::string token
        = "sim-" + std::to_string(m_nextToken++) + "-" + std::to_string(QDateTime::currentMSecsSinceEpoch());
    m_tokens.push_back(token);
    if (m_tokens.size() > KeptTokens) {
        m_tokens.pop_front();
    }
    return token;
}

bool SimPrinter::tokenValid(const std::string& token) const
{
    for (const std::string& issued : m_tokens) {
        if (issued == token) {
            return true;
        }
    }
    return false;
}

bool SimPrinter::tokenRefused(const char* method, const std::string& token) const
{
    const bool faulty = m_config.fault == SimFault::BadToken
        && (m_config.faultMethods.isEmpty() || m_config.faultMethods.contains(QLatin1String(method)));
    return faulty || !tokenValid(token);
}

// A method is accepted with its result code alone unless it has a
// specialisation below.
template <class Args, class Response> void SimPrinter::answer(const Args&, Response& response)
{
    response.__set_resultCode(0);
}

template <> void SimPrinter::answer(const LoginArgs& args, LoginResponse& response)
{
    const std::string expected = m_config.password.isEmpty() ? simDefaultPassword() : utf8(m_config.password);
    if (m_config.loginResult != 0) {
        response.__set_resultCode(m_config.loginResult);
    } else if (args.account != "defaultUser" || args.password != expected) {
        response.__set_resultCode(BadCredentials);
    } else {
        response.__set_resultCode(0);
        response.__set_token(issueToken());
    }
}

template <> void SimPrinter::answer(const GetPrinterStatusArgs& args, GetPrinterStatusResponse& response)
{
    if (tokenRefused("getPrinterStatus", args.token)) {
        response.__set_resultCode(BadToken);
        return;
    }
    response.__set_resultCode(0);
    response.__set_state(m_config.state);
    response.__set_flags(std::vector<int32_t>(m_config.flags.begin(), m_config.flags.end()));
    response.__set_detail(utf8(m_config.detail));
}

template <> void SimPrinter::answer(const GetDeviceIdArgs& args, GetDeviceIdResponse& response)
{
    response.__set_resultCode(tokenRefused("getDeviceId", args.token) ? BadToken : 0);
    if (response.resultCode == 0) {
        response.__set_deviceId(utf8(m_config.deviceId));
    }
}

template <> void SimPrinter::answer(const GetDeviceInfoArgs& args, GetDeviceInfoResponse& response)
{
    std::string json;
    if (tokenRefused("getDeviceInfo", args.token)) {
        response.__set_resultCode(BadToken);
    } else if (!deviceInfo(m_config, args.reqList, json)) {
        response.__set_resultCode(BadArgument);
    } else {
        response.__set_resultCode(0);
        response.__set_deviceInfo(json);
    }
}

template <> void SimPrinter::answer(const GetDeviceSettingsArgs&, GetDeviceSettingsResponse& response)
{
    response.__set_resultCode(0);
    response.__set_settings("{}");
}

template <> void SimPrinter::answer(const GetVersionArgs& args, GetVersionResponse& response)
{
    std::vector<std::string> versions;
    for (ModuleType::type type : args.type) {
        switch (type) {
        case ModuleType::FIRMWARE:
            versions.push_back(utf8(m_config.versionFirmware));
            break;
        case ModuleType::ENGINE:
            versions.push_back(utf8(m_config.versionEngine));
            break;
        case ModuleType::PROTOCOL:
            versions.push_back(utf8(m_config.versionProtocol));
            break;
        default:
            versions.push_back(std::string());
        }
    }
    response.__set_resultCode(0);
    response.__set_versions(versions);
}

template <> void SimPrinter::answer(const GetTimeArgs&, GetTimeResponse& response)
{
    response.__set_resultCode(0);
    response.__set_epochSeconds(QDateTime::currentSecsSinceEpoch());
}

template <> void SimPrinter::answer(const GetNetworkConfigArgs&, GetNetworkConfigResponse& response)
{
    response.__set_resultCode(0);
    response.__set_config(utf8(QStringLiteral("{\"ip\":\"%1\"}").arg(m_config.address)));
}

template <> void SimPrinter::answer(const GetSecuritySettingsArgs&, GetSecuritySettingsResponse& response)
{
    response.__set_resultCode(0);
    response.__set_settings("{}");
}

// The service's first method, in list order, whose Args the request carries
// is answered; Args of another service's method leave the reply empty.
#define PSM_SIM_ANSWER_METHOD(Service, method, Type, member)                                                           \
    if (request.__isset.member##Args) {                                                                                \
        Type##Response response;                                                                                       \
        answer(request.member##Args, response);                                                                        \
        reply.__set_##member##Response(response);                                                                      \
        return #method;                                                                                                \
    }

#define PSM_SIM_ANSWER_SERVICE(Service, name, METHODS)                                                                 \
    if (serviceName == name) {                                                                                         \
        METHODS(PSM_SIM_ANSWER_METHOD)                                                                                 \
        return std::string();                                                                                          \
    }

std::string SimPrinter::dispatch(const std::string& serviceName, ResponseContext& reply, const RequestContext& request)
{
    PSM_RPC_SERVICES(PSM_SIM_ANSWER_SERVICE)
    return std::string();
}

#undef PSM_SIM_ANSWER_SERVICE
#undef PSM_SIM_ANSWER_METHOD

std::string SimPrinter::handle(const std::string& serviceName, ResponseContext& reply, const RequestContext& request)
{
    QMutexLocker locker(&m_mutex);
    const std::string method = dispatch(serviceName, reply, request);
    if (!method.empty()) {
        ++m_stats.requests[QString::fromStdString(method)];
    }
    return method;
}
