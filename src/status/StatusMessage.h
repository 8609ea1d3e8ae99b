#ifndef PSM_STATUSMESSAGE_H
#define PSM_STATUSMESSAGE_H

#include <QString>

// Status codes the poller reports besides the printer's own ones.
namespace StatusCode
{
constexpr int ChannelBusy = 999999;
constexpr int NetworkUnreachable = 30001;
constexpr int DeviceIdFailed = 30002;
constexpr int UsbUnreachable = 30004;
constexpr int DeviceInfoFailed = 30005;
constexpr int StatusFailed = 30006;
constexpr int LoginRefused = 30007;
} // namespace StatusCode

// The one-line Chinese message for a status code; unknown codes get the
// "unknown error" fallback that carries the code.
QString statusMessage(int code);

#endif // PSM_STATUSMESSAGE_H
