#include "channel/Client.h"

#include "core/Log.h"
#include "core/ResultCodes.h"
#include "transport/TSecurityTransport.h"

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
    if (acquired != CallOk) {
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
            return CallOk;
        }
        // The exchange itself was sound, so the link stays usable.
        logLine(method) << "reply carries no response for the method";
        m_connector->release(token, false);
        return CallFailed;
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
    return CallFailed;
}

// Each wrapper method: set the method's Args member of the request, call the
// service, copy the method's Response member back.
#define PSM_RPC_DEFINE_METHOD(Service, method, Type, member)                                                           \
    int32_t Service##Client::method(const model::Type##Args& args, model::Type##Response& response)                    \
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

// Each wrapper: its generated client on a protocol multiplexed under the
// service's name, then its methods.
#define PSM_RPC_DEFINE_WRAPPER(Service, name, METHODS)                                                                 \
    Service##Client::Service##Client(std::shared_ptr<Connector> connector)                                             \
        : Client(std::move(connector))                                                                                 \
        , m_client(std::make_shared<ks::rpc::Service##ServerClient>(makeProtocol(name)))                               \
    {                                                                                                                  \
    }                                                                                                                  \
    METHODS(PSM_RPC_DEFINE_METHOD)

PSM_RPC_SERVICES(PSM_RPC_DEFINE_WRAPPER)
