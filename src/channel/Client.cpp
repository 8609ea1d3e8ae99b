#include "Client.h"

#include "Log.h"
#include "TSecurityTransport.h"

#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TMultiplexedProtocol.h>

#include <stdexcept>

using apache::thrift::TException;
using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TMultiplexedProtocol;
using apache::thrift::protocol::TProtocol;
using apache::thrift::transport::TSecurityTransport;

Client::Client(std::shared_ptr<Connector> connector)
    : m_connector(std::move(connector))
{
}

Client::~Client() = default;

std::shared_ptr<TProtocol> Client::makeProtocol(const char* serviceName) const
{
    auto binary
        = std::make_shared<TBinaryProtocol>(m_connector->getTransport(), TSecurityTransport::ProtocolStringLimit,
                                            TSecurityTransport::ProtocolContainerLimit, true, true);
    return std::make_shared<TMultiplexedProtocol>(binary, serviceName);
}

int32_t Client::invoke(const char* method, const std::function<void(model::RequestContext&)>& setArgs,
                       const std::function<void(model::ResponseContext&, const model::RequestContext&)>& call,
                       const std::function<bool(const model::ResponseContext&)>& takeResponse)
{
    QString token;
    const int acquired = m_connector->acquire(token);
    if (acquired != 0) {
        return acquired;
    }

    QString failure;
    try {
        model::RequestContext request;
        model::ResponseContext reply;
        setArgs(request);
        call(reply, request);
        if (takeResponse(reply)) {
            m_connector->release(token, false);
            return 0;
        }
        // The exchange itself was sound, so the link stays usable.
        logLine(method) << "reply carries no response for the method";
        m_connector->release(token, false);
        return -1;
    } catch (const TException& e) {
        failure = QString::fromUtf8(e.what());
    } catch (const std::runtime_error& e) {
        failure = QString::fromUtf8(e.what());
    } catch (...) {
        // Never leave the connector held: every later call would wait for it.
        m_connector->release(token, true);
        throw;
    }
    logLine(method) << failure;
    m_connector->release(token, true);
    return -1;
}

// Each wrapper method: set the method's Args member of the request, call the
// service, copy the method's Response member back.
#define PSM_RPC_METHOD(Wrapper, method, Name, member)                                                                  \
    int32_t Wrapper::method(const model::Name##Args& args, model::Name##Response& response)                            \
    {                                                                                                                  \
        return invoke(                                                                                                 \
            #method, [&](model::RequestContext& request) { request.__set_##member##Args(args); },                      \
            [this](model::ResponseContext& reply, const model::RequestContext& request) {                              \
                m_client->call(reply, request);                                                                        \
            },                                                                                                         \
            [&](const model::ResponseContext& reply) {                                                                 \
                if (!reply.__isset.member##Response) {                                                                 \
                    return false;                                                                                      \
                }                                                                                                      \
                response = reply.member##Response;                                                                     \
                return true;                                                                                           \
            });                                                                                                        \
    }

SystemClient::SystemClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::SystemServerClient>(makeProtocol("SystemService")))
{
}

PSM_RPC_METHOD(SystemClient, getVersion, GetVersion, getVersion)
PSM_RPC_METHOD(SystemClient, getNetworkConfig, GetNetworkConfig, getNetworkConfig)
PSM_RPC_METHOD(SystemClient, setNetworkConfig, SetNetworkConfig, setNetworkConfig)
PSM_RPC_METHOD(SystemClient, syncTime, SyncTime, syncTime)
PSM_RPC_METHOD(SystemClient, getTime, GetTime, getTime)
PSM_RPC_METHOD(SystemClient, upgrade, Upgrade, upgrade)
PSM_RPC_METHOD(SystemClient, getbuff, GetBuffer, getBuffer)
PSM_RPC_METHOD(SystemClient, getMeasureValue, GetMeasureValue, getMeasureValue)
PSM_RPC_METHOD(SystemClient, confirmUpgrade, ConfirmUpgrade, confirmUpgrade)
PSM_RPC_METHOD(SystemClient, getOption, GetOption, getOption)
PSM_RPC_METHOD(SystemClient, setOption, SetOption, setOption)
PSM_RPC_METHOD(SystemClient, importTableData, ImportTableData, importTableData)
PSM_RPC_METHOD(SystemClient, exportTableData, ExportTableData, exportTableData)
PSM_RPC_METHOD(SystemClient, testConnect, TestConnect, testConnect)

DeviceClient::DeviceClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::DeviceServerClient>(makeProtocol("DeviceService")))
{
}

PSM_RPC_METHOD(DeviceClient, getPrinterStatus, GetPrinterStatus, getPrinterStatus)
PSM_RPC_METHOD(DeviceClient, getDeviceId, GetDeviceId, getDeviceId)
PSM_RPC_METHOD(DeviceClient, getDeviceInfo, GetDeviceInfo, getDeviceInfo)
PSM_RPC_METHOD(DeviceClient, getDeviceSettings, GetDeviceSettings, getDeviceSettings)
PSM_RPC_METHOD(DeviceClient, setDeviceSettings, SetDeviceSettings, setDeviceSettings)

UserClient::UserClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::UserServerClient>(makeProtocol("UserService")))
{
}

PSM_RPC_METHOD(UserClient, login, Login, login)
PSM_RPC_METHOD(UserClient, logout, Logout, logout)
PSM_RPC_METHOD(UserClient, changePassword, ChangePassword, changePassword)

SecurityClient::SecurityClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::SecurityServerClient>(makeProtocol("SecurityService")))
{
}

PSM_RPC_METHOD(SecurityClient, getWhiteList, GetWhiteList, getWhiteList)
PSM_RPC_METHOD(SecurityClient, setWhiteList, SetWhiteList, setWhiteList)
PSM_RPC_METHOD(SecurityClient, getSecuritySettings, GetSecuritySettings, getSecuritySettings)
PSM_RPC_METHOD(SecurityClient, setSecuritySettings, SetSecuritySettings, setSecuritySettings)

PrintClient::PrintClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::PrintServerClient>(makeProtocol("PrintService")))
{
}

PSM_RPC_METHOD(PrintClient, requestPrint, RequestPrint, requestPrint)
PSM_RPC_METHOD(PrintClient, submitJobData, SubmitJobData, submitJobData)
PSM_RPC_METHOD(PrintClient, finishJobData, FinishJobData, finishJobData)

PrintManagementClient::PrintManagementClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::PrintManagementServerClient>(makeProtocol("PrintManagementService")))
{
}

PSM_RPC_METHOD(PrintManagementClient, getJobStatus, GetJobStatus, getJobStatus)
PSM_RPC_METHOD(PrintManagementClient, getPrintSettings, GetPrintSettings, getPrintSettings)
PSM_RPC_METHOD(PrintManagementClient, cancelPrint, CancelPrint, cancelPrint)
PSM_RPC_METHOD(PrintManagementClient, continuePrint, ContinuePrint, continuePrint)
PSM_RPC_METHOD(PrintManagementClient, getJobList, GetJobList, getJobList)

LogClient::LogClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::LogServerClient>(makeProtocol("LogService")))
{
}

PSM_RPC_METHOD(LogClient, queryLog, QueryLog, queryLog)
PSM_RPC_METHOD(LogClient, exportLog, ExportLog, exportLog)

FactoryClient::FactoryClient(std::shared_ptr<Connector> connector)
    : Client(std::move(connector))
    , m_client(std::make_shared<ks::rpc::FactoryServerClient>(makeProtocol("FactoryService")))
{
}

PSM_RPC_METHOD(FactoryClient, factoryFunction, FactoryFunction, factoryFunction)
