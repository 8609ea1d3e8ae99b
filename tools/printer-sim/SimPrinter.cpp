#include "SimPrinter.h"

#include "DataSecurity.h"

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

template <class Response> Response accepted()
{
    Response response;
    response.__set_resultCode(0);
    return response;
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

std::string SimPrinter::handle(const std::string& serviceName, ResponseContext& reply, const RequestContext& request)
{
    QMutexLocker locker(&m_mutex);
    const SimPrinterConfig& c = m_config;
    const auto& set = request.__isset;
    std::string method;

    if (serviceName == "UserService") {
        if (set.loginArgs) {
            method = "login";
            const LoginArgs& args = request.loginArgs;
            const std::string expected = c.password.isEmpty() ? simDefaultPassword() : utf8(c.password);
            LoginResponse response;
            if (c.loginResult != 0) {
                response.__set_resultCode(c.loginResult);
            } else if (args.account != "defaultUser" || args.password != expected) {
                response.__set_resultCode(BadCredentials);
            } else {
                response.__set_resultCode(0);
                response.__set_token(issueToken());
            }
            reply.__set_loginResponse(response);
        } else if (set.logoutArgs) {
            method = "logout";
            reply.__set_logoutResponse(accepted<LogoutResponse>());
        } else if (set.changePasswordArgs) {
            method = "changePassword";
            reply.__set_changePasswordResponse(accepted<ChangePasswordResponse>());
        }
    } else if (serviceName == "DeviceService") {
        if (set.getPrinterStatusArgs) {
            method = "getPrinterStatus";
            GetPrinterStatusResponse response;
            if (!tokenValid(request.getPrinterStatusArgs.token)) {
                response.__set_resultCode(BadToken);
            } else {
                response.__set_resultCode(0);
                response.__set_state(c.state);
                response.__set_flags(std::vector<int32_t>(c.flags.begin(), c.flags.end()));
                response.__set_detail(utf8(c.detail));
            }
            reply.__set_getPrinterStatusResponse(response);
        } else if (set.getDeviceIdArgs) {
            method = "getDeviceId";
            GetDeviceIdResponse response;
            response.__set_resultCode(tokenValid(request.getDeviceIdArgs.token) ? 0 : BadToken);
            if (response.resultCode == 0) {
                response.__set_deviceId(utf8(c.deviceId));
            }
            reply.__set_getDeviceIdResponse(response);
        } else if (set.getDeviceInfoArgs) {
            method = "getDeviceInfo";
            GetDeviceInfoResponse response;
            std::string json;
            if (!tokenValid(request.getDeviceInfoArgs.token)) {
                response.__set_resultCode(BadToken);
            } else if (!deviceInfo(c, request.getDeviceInfoArgs.reqList, json)) {
                response.__set_resultCode(BadArgument);
            } else {
                response.__set_resultCode(0);
                response.__set_deviceInfo(json);
            }
            reply.__set_getDeviceInfoResponse(response);
        } else if (set.getDeviceSettingsArgs) {
            method = "getDeviceSettings";
            GetDeviceSettingsResponse response = accepted<GetDeviceSettingsResponse>();
            response.__set_settings("{}");
            reply.__set_getDeviceSettingsResponse(response);
        } else if (set.setDeviceSettingsArgs) {
            method = "setDeviceSettings";
            reply.__set_setDeviceSettingsResponse(accepted<SetDeviceSettingsResponse>());
        }
    } else if (serviceName == "SystemService") {
        if (set.getVersionArgs) {
            method = "getVersion";
            GetVersionResponse response = accepted<GetVersionResponse>();
            std::vector<std::string> versions;
            for (ModuleType::type type : request.getVersionArgs.type) {
                switch (type) {
                case ModuleType::FIRMWARE:
                    versions.push_back(utf8(c.versionFirmware));
                    break;
                case ModuleType::ENGINE:
                    versions.push_back(utf8(c.versionEngine));
                    break;
                case ModuleType::PROTOCOL:
                    versions.push_back(utf8(c.versionProtocol));
                    break;
                default:
                    versions.push_back(std::string());
                }
            }
            response.__set_versions(versions);
            reply.__set_getVersionResponse(response);
        } else if (set.getTimeArgs) {
            method = "getTime";
            GetTimeResponse response = accepted<GetTimeResponse>();
            response.__set_epochSeconds(QDateTime::currentSecsSinceEpoch());
            reply.__set_getTimeResponse(response);
        } else if (set.testConnectArgs) {
            method = "testConnect";
            reply.__set_testConnectResponse(accepted<TestConnectResponse>());
        } else if (set.getNetworkConfigArgs) {
            method = "getNetworkConfig";
            GetNetworkConfigResponse response = accepted<GetNetworkConfigResponse>();
            response.__set_config(utf8(QStringLiteral("{\"ip\":\"%1\"}").arg(c.address)));
            reply.__set_getNetworkConfigResponse(response);
        } else if (set.setNetworkConfigArgs) {
            method = "setNetworkConfig";
            reply.__set_setNetworkConfigResponse(accepted<SetNetworkConfigResponse>());
        } else if (set.syncTimeArgs) {
            method = "syncTime";
            reply.__set_syncTimeResponse(accepted<SyncTimeResponse>());
        } else if (set.upgradeArgs) {
            method = "upgrade";
            reply.__set_upgradeResponse(accepted<UpgradeResponse>());
        } else if (set.getBufferArgs) {
            method = "getbuff";
            reply.__set_getBufferResponse(accepted<GetBufferResponse>());
        } else if (set.getMeasureValueArgs) {
            method = "getMeasureValue";
            reply.__set_getMeasureValueResponse(accepted<GetMeasureValueResponse>());
        } else if (set.confirmUpgradeArgs) {
            method = "confirmUpgrade";
            reply.__set_confirmUpgradeResponse(accepted<ConfirmUpgradeResponse>());
        } else if (set.getOptionArgs) {
            method = "getOption";
            reply.__set_getOptionResponse(accepted<GetOptionResponse>());
        } else if (set.setOptionArgs) {
            method = "setOption";
            reply.__set_setOptionResponse(accepted<SetOptionResponse>());
        } else if (set.importTableDataArgs) {
            method = "importTableData";
            reply.__set_importTableDataResponse(accepted<ImportTableDataResponse>());
        } else if (set.exportTableDataArgs) {
            method = "exportTableData";
            reply.__set_exportTableDataResponse(accepted<ExportTableDataResponse>());
        }
    } else if (serviceName == "SecurityService") {
        if (set.getWhiteListArgs) {
            method = "getWhiteList";
            reply.__set_getWhiteListResponse(accepted<GetWhiteListResponse>());
        } else if (set.setWhiteListArgs) {
            method = "setWhiteList";
            reply.__set_setWhiteListResponse(accepted<SetWhiteListResponse>());
        } else if (set.getSecuritySettingsArgs) {
            method = "getSecuritySettings";
            GetSecuritySettingsResponse response = accepted<GetSecuritySettingsResponse>();
            response.__set_settings("{}");
            reply.__set_getSecuritySettingsResponse(response);
        } else if (set.setSecuritySettingsArgs) {
            method = "setSecuritySettings";
            reply.__set_setSecuritySettingsResponse(accepted<SetSecuritySettingsResponse>());
        }
    } else if (serviceName == "PrintService") {
        if (set.requestPrintArgs) {
            method = "requestPrint";
            reply.__set_requestPrintResponse(accepted<RequestPrintResponse>());
        } else if (set.submitJobDataArgs) {
            method = "submitJobData";
            reply.__set_submitJobDataResponse(accepted<SubmitJobDataResponse>());
        } else if (set.finishJobDataArgs) {
            method = "finishJobData";
            reply.__set_finishJobDataResponse(accepted<FinishJobDataResponse>());
        }
    } else if (serviceName == "PrintManagementService") {
        if (set.getJobStatusArgs) {
            method = "getJobStatus";
            reply.__set_getJobStatusResponse(accepted<GetJobStatusResponse>());
        } else if (set.getPrintSettingsArgs) {
            method = "getPrintSettings";
            reply.__set_getPrintSettingsResponse(accepted<GetPrintSettingsResponse>());
        } else if (set.cancelPrintArgs) {
            method = "cancelPrint";
            reply.__set_cancelPrintResponse(accepted<CancelPrintResponse>());
        } else if (set.continuePrintArgs) {
            method = "continuePrint";
            reply.__set_continuePrintResponse(accepted<ContinuePrintResponse>());
        } else if (set.getJobListArgs) {
            method = "getJobList";
            reply.__set_getJobListResponse(accepted<GetJobListResponse>());
        }
    } else if (serviceName == "LogService") {
        if (set.queryLogArgs) {
            method = "queryLog";
            reply.__set_queryLogResponse(accepted<QueryLogResponse>());
        } else if (set.exportLogArgs) {
            method = "exportLog";
            reply.__set_exportLogResponse(accepted<ExportLogResponse>());
        }
    } else if (serviceName == "FactoryService") {
        if (set.factoryFunctionArgs) {
            method = "factoryFunction";
            reply.__set_factoryFunctionResponse(accepted<FactoryFunctionResponse>());
        }
    }

    if (!method.empty()) {
        ++m_stats.requests[QString::fromStdString(method)];
    }
    return method;
}
