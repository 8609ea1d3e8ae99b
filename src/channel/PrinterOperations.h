#ifndef PSM_PRINTEROPERATIONS_H
#define PSM_PRINTEROPERATIONS_H

// The per-printer RPC operations that the poller and the watcher use. Each one
// picks the printer's management connector, makes the call with the given
// number of attempts, resets the printer's connectors after a call that
// failed with -1, and returns:
//   the response's result code when the call went through (0 = accepted),
//   -1 when the transport did not open or the call failed,
//   -2 when the connector stayed busy for more than 5000 ms.
// This header is free of Thrift types so that Qt-side code can include it.

#include "core/PrinterContext.h"

#include <cstdint>
#include <string>
#include <vector>

struct PrinterStatusReply {
    int32_t state = 0;
    std::vector<int32_t> flags;
    std::string detail;
};

struct PrinterVersions {
    std::string first;
    std::string second;
    std::string third;
};

int loginPrinter(const PrinterContextPtr& printer, const std::string& account, const std::string& password,
                 std::string& token, int attempts);
int getPrinterDeviceId(const PrinterContextPtr& printer, const std::string& token, std::string& deviceId, int attempts);
// items are sent as the compact JSON array text of their names (reqList);
// info receives the reply's JSON text.
int getPrinterDeviceInfo(const PrinterContextPtr& printer, const std::string& token,
                         const std::vector<const char*>& items, std::string& info, int attempts);
int getPrinterStatus(const PrinterContextPtr& printer, const std::string& token, PrinterStatusReply& status,
                     int attempts);
int getPrinterVersion(const PrinterContextPtr& printer, PrinterVersions& versions, int attempts);
// "1.2.8" needs no call: the second version becomes "2.0.0" and 0 is returned.
int checkPrinterVersion(const PrinterContextPtr& printer, const std::string& version, PrinterVersions& versions);

// The default account's password, derived at run time (never stored).
std::string defaultAccountPassword();
constexpr const char* DefaultAccount = "defaultUser";

#endif // PSM_PRINTEROPERATIONS_H
