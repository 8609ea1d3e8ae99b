// Full poll passes over 1, 10 and 100 simulated printers served by a real
// printer-sim process: wall time per printer and the poller thread's CPU time.
//
// usage: bench-poller [PASSES]   (default 5)

#include "status/ListenPrinterStatus.h"
#include "core/PrinterRegistry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <ctime>

namespace
{
double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

QString addressOf(int i)
{
    return QStringLiteral("127.0.2.%1").arg(i + 1);
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? QString(argv[1]).toInt() : 5;
    QTextStream out(stdout);
    // Reports arrive on the bench thread; nothing else needs them.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QTemporaryDir dir;
    QJsonArray printers;
    for (int i = 0; i < 100; ++i) {
        printers.append(
            QJsonObject{ { "address", addressOf(i) },
                         { "model", "TR-M400" },
                         { "state", 3 },
                         { "flags", QJsonArray{ 4 } },
                         { "toners",
                           QJsonArray{ QJsonObject{
                               { "tonerColor", "black" }, { "maxCapacity", 8000 }, { "suppliesLevel", 1200 } } } } });
    }
    const QString scenario = dir.filePath("scenario.json");
    QFile file(scenario);
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(QJsonObject{ { "printers", printers } }).toJson());
    file.close();

    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(QCoreApplication::applicationDirPath() + "/printer-sim", { scenario });
    QByteArray simOutput;
    while (!simOutput.contains("ready") && sim.waitForReadyRead(10000)) {
        simOutput += sim.readAll();
    }
    if (!simOutput.contains("ready")) {
        out << "bench-poller: printer-sim did not start\n";
        return 1;
    }

    QThread thread;
    auto* poller = new ListenPrinterStatus;
    poller->moveToThread(&thread);
    thread.start();

    out << "printers  wall ms/pass  ms/printer (median, min-max)  poller CPU ms/pass\n";
    for (int count : { 1, 10, 100 }) {
        PrinterRegistry::instance().clear();
        for (int i = 0; i < count; ++i) {
            PrinterRegistry::instance()
                .addPrinterContext(addressOf(i), QStringLiteral("p%1").arg(i), false, 0, 0)
                ->setModel("Ostrel TR-M400 Series");
        }
        QList<double> walls;
        double cpu = 0;
        for (int pass = 0; pass < passes; ++pass) {
            double wall = 0;
            double cpuPass = 0;
            QMetaObject::invokeMethod(
                poller,
                [&] {
                    QElapsedTimer timer;
                    timer.start();
                    const double cpuStart = threadCpuMs();
                    poller->refreshPrinterStatus();
                    cpuPass = threadCpuMs() - cpuStart;
                    wall = timer.nsecsElapsed() / 1e6;
                },
                Qt::BlockingQueuedConnection);
            walls << wall;
            cpu += cpuPass;
        }
        std::sort(walls.begin(), walls.end());
        const double median = walls.at(walls.size() / 2);
        out << QString("%1  %2  %3 (%4-%5)  %6\n")
                   .arg(count, 8)
                   .arg(median, 12, 'f', 1)
                   .arg(median / count, 10, 'f', 2)
                   .arg(walls.first() / count, 0, 'f', 2)
                   .arg(walls.last() / count, 0, 'f', 2)
                   .arg(cpu / passes, 10, 'f', 1);
        out.flush();
    }
    QMetaObject::invokeMethod(
        poller, [poller] { delete poller; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    sim.terminate();
    sim.waitForFinished();
    return 0;
}
