#ifndef PSM_RPCMETHODS_H
#define PSM_RPCMETHODS_H

// The printer's RPC services and their methods, listed once for the service
// clients and for the simulated printer.
//
// PSM_RPC_SERVICES(SERVICE) calls SERVICE(Service, "name", METHODS) per service:
//   Service  stem of the wrapper class (ServiceClient) and of the generated
//            client (ks::rpc::ServiceServerClient),
//   "name"   the multiplexed service name,
//   METHODS  the service's method list below.
//
// A method list METHODS(METHOD) calls METHOD(Service, method, Type, member)
// per method, in the order of the request's members:
//   method   the wrapper's method name, also the name calls are logged and
//            counted under,
//   Type     stem of the Args and Response structures (TypeArgs, TypeResponse),
//   member   stem of the RequestContext and ResponseContext members
//            (memberArgs, memberResponse).
//
// Plain macros, no includes: the simulated printer uses the list without the
// client side.

#define PSM_RPC_SERVICES(SERVICE)                                                                                      \
    SERVICE(System, "SystemService", PSM_RPC_SYSTEM_METHODS)                                                           \
    SERVICE(Device, "DeviceService", PSM_RPC_DEVICE_METHODS)                                                           \
    SERVICE(User, "UserService", PSM_RPC_USER_METHODS)                                                                 \
    SERVICE(Security, "SecurityService", PSM_RPC_SECURITY_METHODS)                                                     \
    SERVICE(Print, "PrintService", PSM_RPC_PRINT_METHODS)                                                              \
    SERVICE(PrintManagement, "PrintManagementService", PSM_RPC_PRINTMANAGEMENT_METHODS)                                \
    SERVICE(Log, "LogService", PSM_RPC_LOG_METHODS)                                                                    \
    SERVICE(Factory, "FactoryService", PSM_RPC_FACTORY_METHODS)

#define PSM_RPC_SYSTEM_METHODS(METHOD)                                                                                 \
    METHOD(System, getVersion, GetVersion, getVersion)                                                                 \
    METHOD(System, getNetworkConfig, GetNetworkConfig, getNetworkConfig)                                               \
    METHOD(System, setNetworkConfig, SetNetworkConfig, setNetworkConfig)                                               \
    METHOD(System, syncTime, SyncTime, syncTime)                                                                       \
    METHOD(System, getTime, GetTime, getTime)                                                                          \
    METHOD(System, upgrade, Upgrade, upgrade)                                                                          \
    METHOD(System, getbuff, GetBuffer, getBuffer)                                                                      \
    METHOD(System, getMeasureValue, GetMeasureValue, getMeasureValue)                                                  \
    METHOD(System, confirmUpgrade, ConfirmUpgrade, confirmUpgrade)                                                     \
    METHOD(System, getOption, GetOption, getOption)                                                                    \
    METHOD(System, setOption, SetOption, setOption)                                                                    \
    METHOD(System, importTableData, ImportTableData, importTableData)                                                  \
    METHOD(System, exportTableData, ExportTableData, exportTableData)                                                  \
    METHOD(System, testConnect, TestConnect, testConnect)

#define PSM_RPC_DEVICE_METHODS(METHOD)                                                                                 \
    METHOD(Device, getPrinterStatus, GetPrinterStatus, getPrinterStatus)                                               \
    METHOD(Device, getDeviceId, GetDeviceId, getDeviceId)                                                              \
    METHOD(Device, getDeviceInfo, GetDeviceInfo, getDeviceInfo)                                                        \
    METHOD(Device, getDeviceSettings, GetDeviceSettings, getDeviceSettings)                                            \
    METHOD(Device, setDeviceSettings, SetDeviceSettings, setDeviceSettings)

#define PSM_RPC_USER_METHODS(METHOD)                                                                                   \
    METHOD(User, login, Login, login)                                                                                  \
    METHOD(User, logout, Logout, logout)                                                                               \
    METHOD(User, changePassword, ChangePassword, changePassword)

#define PSM_RPC_SECURITY_METHODS(METHOD)                                                                               \
    METHOD(Security, getWhiteList, GetWhiteList, getWhiteList)                                                         \
    METHOD(Security, setWhiteList, SetWhiteList, setWhiteList)                                                         \
    METHOD(Security, getSecuritySettings, GetSecuritySettings, getSecuritySettings)                                    \
    METHOD(Security, setSecuritySettings, SetSecuritySettings, setSecuritySettings)

#define PSM_RPC_PRINT_METHODS(METHOD)                                                                                  \
    METHOD(Print, requestPrint, RequestPrint, requestPrint)                                                            \
    METHOD(Print, submitJobData, SubmitJobData, submitJobData)                                                         \
    METHOD(Print, finishJobData, FinishJobData, finishJobData)

#define PSM_RPC_PRINTMANAGEMENT_METHODS(METHOD)                                                                        \
    METHOD(PrintManagement, getJobStatus, GetJobStatus, getJobStatus)                                                  \
    METHOD(PrintManagement, getPrintSettings, GetPrintSettings, getPrintSettings)                                      \
    METHOD(PrintManagement, cancelPrint, CancelPrint, cancelPrint)                                                     \
    METHOD(PrintManagement, continuePrint, ContinuePrint, continuePrint)                                               \
    METHOD(PrintManagement, getJobList, GetJobList, getJobList)

#define PSM_RPC_LOG_METHODS(METHOD)                                                                                    \
    METHOD(Log, queryLog, QueryLog, queryLog)                                                                          \
    METHOD(Log, exportLog, ExportLog, exportLog)

#define PSM_RPC_FACTORY_METHODS(METHOD) METHOD(Factory, factoryFunction, FactoryFunction, factoryFunction)

#endif // PSM_RPCMETHODS_H
