#include "channel/PrinterOperations.h"

#include "channel/Client.h"
#include "channel/ConnectorRegistry.h"
#include "core/HostUtils.h"
#include "core/ResultCodes.h"
#include "datasecurity/DataSecurity.h"

namespace
{

// The input from which the default account's password is derived.
constexpr const char* DefaultAccountSeed = "Ks#Mgmt2019";

// Runs call(connector) up to attempts times. call returns the wrapper's
// result (0, -1, -2) and, on 0, stores the response's result code in
// resultCode. After a -1 the printer's connectors are dropped so that the
// next attempt builds fresh ones.
template <class Call> int withAttempts(const PrinterContextPtr& printer, int attempts, Call call)
{
    if (attempts < 1 || !printer) {
        return CallFailed;
    }
    int result = CallFailed;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const std::shared_ptr<Connector> connector = getManageConnector(printer);
        int32_t resultCode = 0;
        result = connector ? call(connector, resultCode) : CallFailed;
        if (result == CallOk) {
            return resultCode;
        }
        if (result == CallFailed) {
            resetConnectors(printer);
        }
    }
    return result;
}

} // namespace

std::string defaultAccountPassword()
{
    const std::string derived = ds::DataSecurity::decode("MD5", DefaultAccountSeed, "");
    return std::string(derived.c_str()); // up to the first zero byte
}

int loginPrinter(const PrinterContextPtr& printer, const std::string& account, const std::string& password,
                 std::string& token, int attempts)
{
    return withAttempts(printer, attempts, [&](const std::shared_ptr<Connector>& connector, int32_t& resultCode) {
        model::LoginArgs args;
        args.__set_account(account);
        args.__set_password(password);
        args.__set_domain(std::string());
        model::LoginResponse response;
        const int result = UserClient(connector).login(args, response);
        if (result == 0) {
            token = response.token;
            resultCode = response.resultCode;
        }
        return result;
    });
}

int getPrinterDeviceId(const PrinterContextPtr& printer, const std::string& token, std::string& deviceId, int attempts)
{
    return withAttempts(printer, attempts, [&](const std::shared_ptr<Connector>& connector, int32_t& resultCode) {
        model::GetDeviceIdArgs args;
        args.__set_token(token);
        model::GetDeviceIdResponse response;
        const int result = DeviceClient(connector).getDeviceId(args, response);
        if (result == 0) {
            deviceId = response.deviceId;
            resultCode = response.resultCode;
            if (resultCode == 0) {
                printer->setDeviceId(QString::fromStdString(deviceId));
            }
        }
        return result;
    });
}

int getPrinterDeviceInfo(const PrinterContextPtr& printer, const std::string& token,
                         const std::vector<const char*>& items, std::string& info, int attempts)
{
    const std::string reqList = toJsonArrayText(items).toStdString();
    return withAttempts(printer, attempts, [&](const std::shared_ptr<Connector>& connector, int32_t& resultCode) {
        model::GetDeviceInfoArgs args;
        args.__set_token(token);
        args.__set_reqList(reqList);
        model::GetDeviceInfoResponse response;
        const int result = DeviceClient(connector).getDeviceInfo(args, response);
        if (result == 0) {
            info = response.deviceInfo;
            resultCode = response.resultCode;
        }
        return result;
    });
}

int getPrinterStatus(const PrinterContextPtr& printer, const std::string& token, PrinterStatusReply& status,
                     int attempts)
{
    return withAttempts(printer, attempts, [&](const std::shared_ptr<Connector>& connector, int32_t& resultCode) {
        model::GetPrinterStatusArgs args;
        args.__set_token(token);
        model::GetPrinterStatusResponse response;
        const int result = DeviceClient(connector).getPrinterStatus(args, response);
        if (result == 0) {
            status.state = response.state;
            status.flags = response.flags;
            status.detail = response.detail;
            resultCode = response.resultCode;
        }
        return result;
    });
}

int getPrinterVersion(const PrinterContextPtr& printer, PrinterVersions& versions, int attempts)
{
    return withAttempts(printer, attempts, [&](const std::shared_ptr<Connector>& connector, int32_t& resultCode) {
        model::GetVersionArgs args;
        args.__set_type({ model::ModuleType::PROTOCOL, model::ModuleType::FIRMWARE, model::ModuleType::ENGINE });
        model::GetVersionResponse response;
        const int result = SystemClient(connector).getVersion(args, response);
        if (result == 0) {
            // One text per requested module type, in the order asked.
            const auto& texts = response.versions;
            versions.first = texts.size() > 0 ? texts[0] : std::string();
            versions.second = texts.size() > 1 ? texts[1] : std::string();
            versions.third = texts.size() > 2 ? texts[2] : std::string();
            resultCode = response.resultCode;
        }
        return result;
    });
}

int checkPrinterVersion(const PrinterContextPtr& printer, const std::string& version, PrinterVersions& versions)
{
    if (version == "1.2.8") {
        versions.second = "2.0.0";
        return 0;
    }
    return getPrinterVersion(printer, versions, 5);
}
