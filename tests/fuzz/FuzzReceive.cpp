// The client's receive path: whatever a printer, or anything posing as one,
// sends back must end as an error result or a parsed reply, never as a crash,
// a hang or an allocation sized by a length the peer announced. See
// ReceivePath.h for the input layout; the enciphered mode wraps the input
// into a valid frame first so that mutations reach the Thrift parser.
#include "ReceivePath.h"

#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using namespace receivepath;

namespace
{

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

// The frame layer alone: a frame built from the payload must give back
// exactly the payload.
void checkFrameRoundTrip(const std::string& wire, const uint8_t* payload, size_t size)
{
    auto memory = memoryOf(wire);
    TSecurityTransport frames(memory, channelCipher(), uint32_t(Sm4Cipher::KeySize), SafeConnector::BufferSize,
                              SafeConnector::MaxSocketFrameSize);
    std::string out(size, '\0');
    if (size > 0) {
        frames.readAll(reinterpret_cast<uint8_t*>(&out[0]), uint32_t(size));
    } else {
        // An empty payload is a frame of padding alone: one read, no bytes.
        uint8_t byte = 0;
        if (frames.read(&byte, 1) != 0) {
            __builtin_trap();
        }
    }
    if (std::memcmp(out.data(), payload, size) != 0 || frames.peek()) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = (qInstallMessageHandler(dropMessage), true);
    (void)quiet;
    if (size < HeaderBytes) {
        return 0;
    }
    const bool enciphered = (data[0] & EncipheredBit) != 0;
    const bool usb = (data[0] & UsbBit) != 0;
    const size_t target = data[1] % wrapperTargets().size();
    const uint8_t* bytes = data + HeaderBytes;
    const size_t length = size - HeaderBytes;

    std::string wire;
    if (enciphered) {
        wire = encipherFrame(bytes, length);
        checkFrameRoundTrip(wire, bytes, length);
    } else {
        wire.assign(reinterpret_cast<const char*>(bytes), length);
    }

    // The wrappers catch every Thrift and runtime error themselves.
    const int32_t result = wrapperTargets()[target].call(replayConnector(wire, usb));
    if (result != 0 && result != -1) {
        __builtin_trap();
    }
    return 0;
}
