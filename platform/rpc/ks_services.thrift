// The printer's management services. Each is reached through a multiplexed
// protocol under its service name ("SystemService", "DeviceService", ...).
// A service has one operation; the member set in the request selects the
// method (see ks_model.thrift).

include "ks_model.thrift"

namespace cpp ks.rpc

service SystemServer {            // "SystemService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}

service DeviceServer {            // "DeviceService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}

service UserServer {              // "UserService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}

service SecurityServer {          // "SecurityService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}

service PrintServer {             // "PrintService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}

service PrintManagementServer {   // "PrintManagementService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}

service LogServer {               // "LogService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}

service FactoryServer {           // "FactoryService"
    ks_model.ResponseContext call(1: ks_model.RequestContext request),
}
