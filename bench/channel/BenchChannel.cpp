// Benchmark of the device channel (not a test): one poll's worth of calls
// (login, device id, device information, status) against the simulated
// printer over loopback TCP, and the frame rate of the security transport.
//
//   bench_channel [polls=200] [address=127.0.0.59]

#include "PrinterSimServer.h"
#include "channel/ConnectorRegistry.h"
#include "channel/PrinterOperations.h"
#include "sm4/Sm4Cipher.h"
#include "transport/TSecurityTransport.h"

#include <thrift/transport/TBufferTransports.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using apache::thrift::transport::TMemoryBuffer;
using apache::thrift::transport::TSecurityTransport;

namespace
{

struct Series {
    const char* name;
    std::vector<double> ms;
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

void report(const Series& series)
{
    std::printf("  %-16s median %7.3f ms   p10 %7.3f   p90 %7.3f   min %7.3f   max %7.3f\n", series.name,
                percentile(series.ms, 0.5), percentile(series.ms, 0.1), percentile(series.ms, 0.9),
                percentile(series.ms, 0.0), percentile(series.ms, 1.0));
}

double timeMs(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

void benchPoll(const QString& address, int polls)
{
    const QByteArray scenario = QStringLiteral(R"({"printers":[{"address":"%1","model":"TR-M400","state":3,
        "flags":[4,64],"detail":"x,2,200030,201600","toners":[{"tonerId":"K1","tonerModel":"TN-400",
        "tonerColor":"black","tonerDescription":"black toner","maxCapacity":8000,"suppliesLevel":2000}]}]})")
                                    .arg(address)
                                    .toUtf8();
    QThread thread;
    auto* server = new PrinterSimServer();
    server->moveToThread(&thread);
    thread.start();
    bool loaded = false;
    QMetaObject::invokeMethod(
        server, [&]() { loaded = server->setScenario(scenario) && server->lastErrors().isEmpty(); },
        Qt::BlockingQueuedConnection);
    if (!loaded) {
        std::fprintf(stderr, "cannot serve %s:9202\n", qPrintable(address));
    } else {
        const auto printer = std::make_shared<PrinterContext>(address, QStringLiteral("bench"));
        const std::string password = defaultAccountPassword();
        Series login{ "login", {} }, deviceId{ "getDeviceId", {} }, deviceInfo{ "getDeviceInfo", {} },
            status{ "getPrinterStatus", {} }, poll{ "whole poll", {} };
        int failures = 0;
        for (int i = 0; i < polls; ++i) {
            std::string token, id, info;
            PrinterStatusReply reply;
            const double total = timeMs([&]() {
                login.ms.push_back(
                    timeMs([&]() { failures += loginPrinter(printer, DefaultAccount, password, token, 1) != 0; }));
                deviceId.ms.push_back(timeMs([&]() { failures += getPrinterDeviceId(printer, token, id, 1) != 0; }));
                deviceInfo.ms.push_back(timeMs([&]() {
                    failures += getPrinterDeviceInfo(printer, token, { "tonerGroup", "model" }, info, 1) != 0;
                }));
                status.ms.push_back(timeMs([&]() { failures += getPrinterStatus(printer, token, reply, 1) != 0; }));
            });
            poll.ms.push_back(total);
        }
        std::printf("One poll against the simulated printer at %s:9202, %d polls, %d failed calls:\n",
                    qPrintable(address), polls, failures);
        for (const Series* series : { &login, &deviceId, &deviceInfo, &status, &poll }) {
            report(*series);
        }
    }
    QMetaObject::invokeMethod(
        server, [server]() { delete server; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    ConnectorRegistry::instance().clear();
}

void benchFrames()
{
    const uint8_t key[16]
        = { 0x3a, 0x7c, 0x91, 0xe4, 0x05, 0xb8, 0x6d, 0x2f, 0xc3, 0x58, 0x1e, 0xa9, 0x74, 0xd0, 0x6b, 0x82 };
    const auto cipher = std::make_shared<Sm4Cipher>(key, sizeof key);
    std::printf("Frames through the security transport (encipher, write, read, decipher; in memory):\n");
    for (uint32_t size : { 64u, 256u, 1024u, 16384u }) {
        const std::vector<uint8_t> payload(size, 0x5a);
        std::vector<uint8_t> received(size);
        auto pipe = std::make_shared<TMemoryBuffer>(size * 2 + 64);
        TSecurityTransport writer(pipe, cipher, 16, 1024, 256u << 20);
        TSecurityTransport reader(pipe, cipher, 16, 1024, 256u << 20);
        long frames = 0;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 1000) {
            for (int i = 0; i < 100; ++i) {
                writer.write(payload.data(), size);
                writer.flush();
                reader.readAll(received.data(), size);
                pipe->resetBuffer();
            }
            frames += 100;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        std::printf("  %6u-byte payload: %9.0f frames/s   %7.1f MiB/s\n", size, double(frames) / seconds,
                    double(frames) * size / seconds / (1024.0 * 1024.0));
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int polls = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    const QString address = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("127.0.0.59");
    benchPoll(address, polls);
    benchFrames();
    return 0;
}
