#ifndef PSM_CLIENT_H
#define PSM_CLIENT_H

// The service clients: one wrapper per printer RPC service, one method per
// RPC method. A method never throws for an ordinary failure; it returns
//   0  the call went through and the response was filled,
//   -1 the transport did not open, the call failed, or the reply lacked
//      the method's response,
//   -2 the connector stayed busy for more than 5000 ms.
// Failures are logged under the method's name. Wrappers are cheap, built per
// call and used by one thread; building one opens nothing.
//
// This header pulls in the generated Thrift code: include it from channel
// code only, never from UI code.

#include "Connector.h"

#include "DeviceServer.h"
#include "FactoryServer.h"
#include "LogServer.h"
#include "PrintManagementServer.h"
#include "PrintServer.h"
#include "SecurityServer.h"
#include "SystemServer.h"
#include "UserServer.h"

#include <functional>
#include <memory>

namespace apache
{
namespace thrift
{
namespace protocol
{
class TProtocol;
}
} // namespace thrift
} // namespace apache

class Client
{
public:
    explicit Client(std::shared_ptr<Connector> connector);
    virtual ~Client();

    std::shared_ptr<Connector> connector() const { return m_connector; }

protected:
    // TBinaryProtocol with size limits, multiplexed under serviceName.
    std::shared_ptr<apache::thrift::protocol::TProtocol> makeProtocol(const char* serviceName) const;

    // One call: acquire, send the request built by setArgs, hand the reply
    // to takeResponse (which returns false when the reply lacks the
    // method's response), release.
    int32_t
    invoke(const char* method, const std::function<void(ks::rpc::model::RequestContext&)>& setArgs,
           const std::function<void(ks::rpc::model::ResponseContext&, const ks::rpc::model::RequestContext&)>& call,
           const std::function<bool(const ks::rpc::model::ResponseContext&)>& takeResponse);

    std::shared_ptr<Connector> m_connector;
};

namespace model = ks::rpc::model;

class SystemClient : public Client
{
public:
    explicit SystemClient(std::shared_ptr<Connector> connector);

    int32_t getVersion(const model::GetVersionArgs& args, model::GetVersionResponse& response);
    int32_t getNetworkConfig(const model::GetNetworkConfigArgs& args, model::GetNetworkConfigResponse& response);
    int32_t setNetworkConfig(const model::SetNetworkConfigArgs& args, model::SetNetworkConfigResponse& response);
    int32_t syncTime(const model::SyncTimeArgs& args, model::SyncTimeResponse& response);
    int32_t getTime(const model::GetTimeArgs& args, model::GetTimeResponse& response);
    int32_t upgrade(const model::UpgradeArgs& args, model::UpgradeResponse& response);
    int32_t getbuff(const model::GetBufferArgs& args, model::GetBufferResponse& response);
    int32_t getMeasureValue(const model::GetMeasureValueArgs& args, model::GetMeasureValueResponse& response);
    int32_t confirmUpgrade(const model::ConfirmUpgradeArgs& args, model::ConfirmUpgradeResponse& response);
    int32_t getOption(const model::GetOptionArgs& args, model::GetOptionResponse& response);
    int32_t setOption(const model::SetOptionArgs& args, model::SetOptionResponse& response);
    int32_t importTableData(const model::ImportTableDataArgs& args, model::ImportTableDataResponse& response);
    int32_t exportTableData(const model::ExportTableDataArgs& args, model::ExportTableDataResponse& response);
    int32_t testConnect(const model::TestConnectArgs& args, model::TestConnectResponse& response);

private:
    std::shared_ptr<ks::rpc::SystemServerClient> m_client;
};

class DeviceClient : public Client
{
public:
    explicit DeviceClient(std::shared_ptr<Connector> connector);

    int32_t getPrinterStatus(const model::GetPrinterStatusArgs& args, model::GetPrinterStatusResponse& response);
    int32_t getDeviceId(const model::GetDeviceIdArgs& args, model::GetDeviceIdResponse& response);
    int32_t getDeviceInfo(const model::GetDeviceInfoArgs& args, model::GetDeviceInfoResponse& response);
    int32_t getDeviceSettings(const model::GetDeviceSettingsArgs& args, model::GetDeviceSettingsResponse& response);
    int32_t setDeviceSettings(const model::SetDeviceSettingsArgs& args, model::SetDeviceSettingsResponse& response);

private:
    std::shared_ptr<ks::rpc::DeviceServerClient> m_client;
};

class UserClient : public Client
{
public:
    explicit UserClient(std::shared_ptr<Connector> connector);

    int32_t login(const model::LoginArgs& args, model::LoginResponse& response);
    int32_t logout(const model::LogoutArgs& args, model::LogoutResponse& response);
    int32_t changePassword(const model::ChangePasswordArgs& args, model::ChangePasswordResponse& response);

private:
    std::shared_ptr<ks::rpc::UserServerClient> m_client;
};

class SecurityClient : public Client
{
public:
    explicit SecurityClient(std::shared_ptr<Connector> connector);

    int32_t getWhiteList(const model::GetWhiteListArgs& args, model::GetWhiteListResponse& response);
    int32_t setWhiteList(const model::SetWhiteListArgs& args, model::SetWhiteListResponse& response);
    int32_t getSecuritySettings(const model::GetSecuritySettingsArgs& args,
                                model::GetSecuritySettingsResponse& response);
    int32_t setSecuritySettings(const model::SetSecuritySettingsArgs& args,
                                model::SetSecuritySettingsResponse& response);

private:
    std::shared_ptr<ks::rpc::SecurityServerClient> m_client;
};

class PrintClient : public Client
{
public:
    explicit PrintClient(std::shared_ptr<Connector> connector);

    int32_t requestPrint(const model::RequestPrintArgs& args, model::RequestPrintResponse& response);
    int32_t submitJobData(const model::SubmitJobDataArgs& args, model::SubmitJobDataResponse& response);
    int32_t finishJobData(const model::FinishJobDataArgs& args, model::FinishJobDataResponse& response);

private:
    std::shared_ptr<ks::rpc::PrintServerClient> m_client;
};

class PrintManagementClient : public Client
{
public:
    explicit PrintManagementClient(std::shared_ptr<Connector> connector);

    int32_t getJobStatus(const model::GetJobStatusArgs& args, model::GetJobStatusResponse& response);
    int32_t getPrintSettings(const model::GetPrintSettingsArgs& args, model::GetPrintSettingsResponse& response);
    int32_t cancelPrint(const model::CancelPrintArgs& args, model::CancelPrintResponse& response);
    int32_t continuePrint(const model::ContinuePrintArgs& args, model::ContinuePrintResponse& response);
    int32_t getJobList(const model::GetJobListArgs& args, model::GetJobListResponse& response);

private:
    std::shared_ptr<ks::rpc::PrintManagementServerClient> m_client;
};

class LogClient : public Client
{
public:
    explicit LogClient(std::shared_ptr<Connector> connector);

    int32_t queryLog(const model::QueryLogArgs& args, model::QueryLogResponse& response);
    int32_t exportLog(const model::ExportLogArgs& args, model::ExportLogResponse& response);

private:
    std::shared_ptr<ks::rpc::LogServerClient> m_client;
};

class FactoryClient : public Client
{
public:
    explicit FactoryClient(std::shared_ptr<Connector> connector);

    int32_t factoryFunction(const model::FactoryFunctionArgs& args, model::FactoryFunctionResponse& response);

private:
    std::shared_ptr<ks::rpc::FactoryServerClient> m_client;
};

#endif // PSM_CLIENT_H
