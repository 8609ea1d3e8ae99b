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

#include "channel/Connector.h"
#include "channel/RpcMethods.h"

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

// One wrapper per service of RpcMethods.h, named after it: SystemClient,
// DeviceClient, UserClient, SecurityClient, PrintClient, PrintManagementClient,
// LogClient and FactoryClient. Each has one method per RPC method of its
// service, for example
//   int32_t DeviceClient::getPrinterStatus(const model::GetPrinterStatusArgs& args,
//                                          model::GetPrinterStatusResponse& response);
#define PSM_RPC_DECLARE_METHOD(Service, method, Type, member)                                                          \
    int32_t method(const model::Type##Args& args, model::Type##Response& response);

#define PSM_RPC_DECLARE_WRAPPER(Service, name, METHODS)                                                                \
    class Service##Client : public Client                                                                              \
    {                                                                                                                  \
    public:                                                                                                            \
        explicit Service##Client(std::shared_ptr<Connector> connector);                                                \
        METHODS(PSM_RPC_DECLARE_METHOD)                                                                                \
                                                                                                                       \
    private:                                                                                                           \
        std::shared_ptr<ks::rpc::Service##ServerClient> m_client;                                                      \
    };

PSM_RPC_SERVICES(PSM_RPC_DECLARE_WRAPPER)

#undef PSM_RPC_DECLARE_WRAPPER
#undef PSM_RPC_DECLARE_METHOD

#endif // PSM_CLIENT_H
