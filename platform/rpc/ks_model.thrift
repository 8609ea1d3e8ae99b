// Structures shared by the printer's management services.
//
// Every service has a single operation, call(RequestContext): the request
// carries exactly one ...Args member, which names the method, and the reply
// fills the matching ...Response member. Every response begins with a 32-bit
// result code (0 = accepted). Texts are UTF-8.

namespace cpp ks.rpc.model

enum ModuleType {
    FIRMWARE = 0,
    ENGINE = 1,
    PROTOCOL = 2,
}

// ---- SystemService ----

struct GetVersionArgs {
    1: list<ModuleType> type,
}
struct GetVersionResponse {
    1: i32 resultCode,
    // One version text per requested module type, in the order requested.
    2: list<string> versions,
}

struct GetNetworkConfigArgs {
    1: string token,
}
struct GetNetworkConfigResponse {
    1: i32 resultCode,
    2: string config, // JSON text
}

struct SetNetworkConfigArgs {
    1: string token,
    2: string config,
}
struct SetNetworkConfigResponse {
    1: i32 resultCode,
}

struct SyncTimeArgs {
    1: string token,
    2: i64 epochSeconds,
}
struct SyncTimeResponse {
    1: i32 resultCode,
}

struct GetTimeArgs {
    1: string token,
}
struct GetTimeResponse {
    1: i32 resultCode,
    2: i64 epochSeconds,
}

struct UpgradeArgs {
    1: string token,
    2: string fileName,
    3: binary data,
}
struct UpgradeResponse {
    1: i32 resultCode,
}

struct GetBufferArgs {
    1: string token,
    2: i32 offset,
    3: i32 length,
}
struct GetBufferResponse {
    1: i32 resultCode,
    2: binary data,
}

struct GetMeasureValueArgs {
    1: string token,
    2: string item,
}
struct GetMeasureValueResponse {
    1: i32 resultCode,
    2: string value,
}

struct ConfirmUpgradeArgs {
    1: string token,
}
struct ConfirmUpgradeResponse {
    1: i32 resultCode,
}

struct GetOptionArgs {
    1: string token,
    2: string key,
}
struct GetOptionResponse {
    1: i32 resultCode,
    2: string value,
}

struct SetOptionArgs {
    1: string token,
    2: string key,
    3: string value,
}
struct SetOptionResponse {
    1: i32 resultCode,
}

struct ImportTableDataArgs {
    1: string token,
    2: string table,
    3: binary data,
}
struct ImportTableDataResponse {
    1: i32 resultCode,
}

struct ExportTableDataArgs {
    1: string token,
    2: string table,
}
struct ExportTableDataResponse {
    1: i32 resultCode,
    2: binary data,
}

struct TestConnectArgs {
    1: string token,
}
struct TestConnectResponse {
    1: i32 resultCode,
}

// ---- DeviceService ----

struct GetPrinterStatusArgs {
    1: string token,
}
struct GetPrinterStatusResponse {
    1: i32 resultCode,
    2: i32 state,
    3: list<i32> flags,  // raised condition flags, one bit value each
    4: string detail,    // e.g. "x,2,200030,201600"
}

struct GetDeviceIdArgs {
    1: string token,
}
struct GetDeviceIdResponse {
    1: i32 resultCode,
    2: string deviceId,
}

struct GetDeviceInfoArgs {
    1: string token,
    2: string reqList, // JSON array text of item names, e.g. ["tonerGroup","model"]
}
struct GetDeviceInfoResponse {
    1: i32 resultCode,
    2: string deviceInfo, // JSON object text with the requested items
}

struct GetDeviceSettingsArgs {
    1: string token,
    2: string reqList,
}
struct GetDeviceSettingsResponse {
    1: i32 resultCode,
    2: string settings,
}

struct SetDeviceSettingsArgs {
    1: string token,
    2: string settings,
}
struct SetDeviceSettingsResponse {
    1: i32 resultCode,
}

// ---- UserService ----

struct LoginArgs {
    1: string account,
    2: string password,
    3: string domain,
}
struct LoginResponse {
    1: i32 resultCode,
    2: string token,
}

struct LogoutArgs {
    1: string token,
}
struct LogoutResponse {
    1: i32 resultCode,
}

struct ChangePasswordArgs {
    1: string token,
    2: string account,
    3: string oldPassword,
    4: string newPassword,
}
struct ChangePasswordResponse {
    1: i32 resultCode,
}

// ---- SecurityService ----

struct GetWhiteListArgs {
    1: string token,
}
struct GetWhiteListResponse {
    1: i32 resultCode,
    2: list<string> entries,
}

struct SetWhiteListArgs {
    1: string token,
    2: list<string> entries,
}
struct SetWhiteListResponse {
    1: i32 resultCode,
}

struct GetSecuritySettingsArgs {
    1: string token,
}
struct GetSecuritySettingsResponse {
    1: i32 resultCode,
    2: string settings,
}

struct SetSecuritySettingsArgs {
    1: string token,
    2: string settings,
}
struct SetSecuritySettingsResponse {
    1: i32 resultCode,
}

// ---- PrintService ----

struct RequestPrintArgs {
    1: string token,
    2: string jobName,
    3: string settings,
}
struct RequestPrintResponse {
    1: i32 resultCode,
    2: string jobId,
}

struct SubmitJobDataArgs {
    1: string token,
    2: string jobId,
    3: binary data,
}
struct SubmitJobDataResponse {
    1: i32 resultCode,
}

struct FinishJobDataArgs {
    1: string token,
    2: string jobId,
}
struct FinishJobDataResponse {
    1: i32 resultCode,
}

// ---- PrintManagementService ----

struct GetJobStatusArgs {
    1: string token,
    2: string jobId,
}
struct GetJobStatusResponse {
    1: i32 resultCode,
    2: i32 jobState,
}

struct GetPrintSettingsArgs {
    1: string token,
}
struct GetPrintSettingsResponse {
    1: i32 resultCode,
    2: string settings,
}

struct CancelPrintArgs {
    1: string token,
    2: string jobId,
}
struct CancelPrintResponse {
    1: i32 resultCode,
}

struct ContinuePrintArgs {
    1: string token,
    2: string jobId,
}
struct ContinuePrintResponse {
    1: i32 resultCode,
}

struct GetJobListArgs {
    1: string token,
}
struct GetJobListResponse {
    1: i32 resultCode,
    2: list<string> jobIds,
}

// ---- LogService ----

struct QueryLogArgs {
    1: string token,
    2: string filter,
}
struct QueryLogResponse {
    1: i32 resultCode,
    2: string entries,
}

struct ExportLogArgs {
    1: string token,
    2: string filter,
}
struct ExportLogResponse {
    1: i32 resultCode,
    2: binary data,
}

// ---- FactoryService ----

struct FactoryFunctionArgs {
    1: string token,
    2: string functionName,
    3: string parameter,
}
struct FactoryFunctionResponse {
    1: i32 resultCode,
    2: string result,
}

// One optional member per method; a request sets exactly one of them.
struct RequestContext {
    1: optional GetVersionArgs getVersionArgs,
    2: optional GetNetworkConfigArgs getNetworkConfigArgs,
    3: optional SetNetworkConfigArgs setNetworkConfigArgs,
    4: optional SyncTimeArgs syncTimeArgs,
    5: optional GetTimeArgs getTimeArgs,
    6: optional UpgradeArgs upgradeArgs,
    7: optional GetBufferArgs getBufferArgs,
    8: optional GetMeasureValueArgs getMeasureValueArgs,
    9: optional ConfirmUpgradeArgs confirmUpgradeArgs,
    10: optional GetOptionArgs getOptionArgs,
    11: optional SetOptionArgs setOptionArgs,
    12: optional ImportTableDataArgs importTableDataArgs,
    13: optional ExportTableDataArgs exportTableDataArgs,
    14: optional TestConnectArgs testConnectArgs,

    20: optional GetPrinterStatusArgs getPrinterStatusArgs,
    21: optional GetDeviceIdArgs getDeviceIdArgs,
    22: optional GetDeviceInfoArgs getDeviceInfoArgs,
    23: optional GetDeviceSettingsArgs getDeviceSettingsArgs,
    24: optional SetDeviceSettingsArgs setDeviceSettingsArgs,

    30: optional LoginArgs loginArgs,
    31: optional LogoutArgs logoutArgs,
    32: optional ChangePasswordArgs changePasswordArgs,

    40: optional GetWhiteListArgs getWhiteListArgs,
    41: optional SetWhiteListArgs setWhiteListArgs,
    42: optional GetSecuritySettingsArgs getSecuritySettingsArgs,
    43: optional SetSecuritySettingsArgs setSecuritySettingsArgs,

    50: optional RequestPrintArgs requestPrintArgs,
    51: optional SubmitJobDataArgs submitJobDataArgs,
    52: optional FinishJobDataArgs finishJobDataArgs,

    60: optional GetJobStatusArgs getJobStatusArgs,
    61: optional GetPrintSettingsArgs getPrintSettingsArgs,
    62: optional CancelPrintArgs cancelPrintArgs,
    63: optional ContinuePrintArgs continuePrintArgs,
    64: optional GetJobListArgs getJobListArgs,

    70: optional QueryLogArgs queryLogArgs,
    71: optional ExportLogArgs exportLogArgs,

    80: optional FactoryFunctionArgs factoryFunctionArgs,
}

// One member per method; the printer fills the one that was asked for.
struct ResponseContext {
    1: optional GetVersionResponse getVersionResponse,
    2: optional GetNetworkConfigResponse getNetworkConfigResponse,
    3: optional SetNetworkConfigResponse setNetworkConfigResponse,
    4: optional SyncTimeResponse syncTimeResponse,
    5: optional GetTimeResponse getTimeResponse,
    6: optional UpgradeResponse upgradeResponse,
    7: optional GetBufferResponse getBufferResponse,
    8: optional GetMeasureValueResponse getMeasureValueResponse,
    9: optional ConfirmUpgradeResponse confirmUpgradeResponse,
    10: optional GetOptionResponse getOptionResponse,
    11: optional SetOptionResponse setOptionResponse,
    12: optional ImportTableDataResponse importTableDataResponse,
    13: optional ExportTableDataResponse exportTableDataResponse,
    14: optional TestConnectResponse testConnectResponse,

    20: optional GetPrinterStatusResponse getPrinterStatusResponse,
    21: optional GetDeviceIdResponse getDeviceIdResponse,
    22: optional GetDeviceInfoResponse getDeviceInfoResponse,
    23: optional GetDeviceSettingsResponse getDeviceSettingsResponse,
    24: optional SetDeviceSettingsResponse setDeviceSettingsResponse,

    30: optional LoginResponse loginResponse,
    31: optional LogoutResponse logoutResponse,
    32: optional ChangePasswordResponse changePasswordResponse,

    40: optional GetWhiteListResponse getWhiteListResponse,
    41: optional SetWhiteListResponse setWhiteListResponse,
    42: optional GetSecuritySettingsResponse getSecuritySettingsResponse,
    43: optional SetSecuritySettingsResponse setSecuritySettingsResponse,

    50: optional RequestPrintResponse requestPrintResponse,
    51: optional SubmitJobDataResponse submitJobDataResponse,
    52: optional FinishJobDataResponse finishJobDataResponse,

    60: optional GetJobStatusResponse getJobStatusResponse,
    61: optional GetPrintSettingsResponse getPrintSettingsResponse,
    62: optional CancelPrintResponse cancelPrintResponse,
    63: optional ContinuePrintResponse continuePrintResponse,
    64: optional GetJobListResponse getJobListResponse,

    70: optional QueryLogResponse queryLogResponse,
    71: optional ExportLogResponse exportLogResponse,

    80: optional FactoryFunctionResponse factoryFunctionResponse,
}
