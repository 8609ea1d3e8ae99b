// Full poll passes over 1, 10 and 100 simulated printers served by a real
// printer-sim process, from the request until the last report: wall time per
// printer and the process's CPU time. Then a pass over 100 printers of which
// the first 10 in name order never answer and the next 10 refuse connections:
// the time until the 80 healthy printers have reported and the whole pass,
// which ends with the silent printers' receive time-out.
//
// usage: bench-poller [PASSES] [RECEIVE-TIMEOUT-MS]   (default 5, the real 120000)
// The agent's log lines are dropped unless BENCH_LOG is set.

#include "channel/SocketConnector.h"
#include "core/PrinterRegistry.h"
#include "status/ListenPrinterStatus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <ctime>

namespace
{
double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

QString addressOf(int i)
{
    return QStringLiteral("127.0.2.%1").arg(i + 1);
}

// One pass: asks for it and waits on this thread until every printer has
// reported. Returns the time at which the last printer of healthy (a set of
// names) reported and the time of the last report of all.
struct PassTimes {
    double healthyMs = 0;
    double allMs = 0;
    double cpuMs = 0;
};

PassTimes runPass(ListenPrinterStatus* poller, const QSet<QString>& healthy, const QSet<QString>& printers)
{
    PassTimes times;
    QSet<QString> pendingHealthy = healthy;
    QSet<QString> pending = printers;
    QElapsedTimer timer;
    QEventLoop loop;
    const auto connection = QObject::connect(
        poller, &ListenPrinterStatus::printerStatusChanged, &loop,
        [&](const QString& name, const QStringList&) {
            if (pendingHealthy.remove(name) && pendingHealthy.isEmpty()) {
                times.healthyMs = timer.nsecsElapsed() / 1e6;
            }
            if (pending.remove(name) && pending.isEmpty()) {
                times.allMs = timer.nsecsElapsed() / 1e6;
                loop.quit();
            }
        },
        Qt::QueuedConnection);
    const double cpuStart = processCpuMs();
    timer.start();
    QMetaObject::invokeMethod(poller, &ListenPrinterStatus::refreshPrinterStatus, Qt::QueuedConnection);
    loop.exec();
    times.cpuMs = processCpuMs() - cpuStart;
    QObject::disconnect(connection);
    return times;
}

void writeScenario(const QString& path, int silent)
{
    QJsonArray printers;
    for (int i = 0; i < 100; ++i) {
        QJsonObject printer{ { "address", addressOf(i) },
                             { "model", "TR-M400" },
                             { "state", 3 },
                             { "flags", QJsonArray{ 4 } },
                             { "toners",
                               QJsonArray{ QJsonObject{ { "tonerColor", "black" },
                                                        { "maxCapacity", 8000 },
                                                        { "suppliesLevel", 1200 } } } } };
        if (i < silent) {
            printer.insert("fault", "silent");
        } else if (i < 2 * silent) {
            printer.insert("fault", "refuse");
        }
        printers.append(printer);
    }
    QFile file(path + ".new");
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(QJsonObject{ { "printers", printers } }).toJson());
    file.close();
    QFile::remove(path);
    QFile::rename(path + ".new", path);
}

// Registers count printers p00, p01, ...: the faulty ones come first in name
// order, so a pass meets them before the healthy ones.
QSet<QString> registerPrinters(int count, int faulty, QSet<QString>* all)
{
    QSet<QString> healthy;
    all->clear();
    PrinterRegistry::instance().clear();
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("p%1").arg(i, 2, 10, QLatin1Char('0'));
        PrinterRegistry::instance()
            .addPrinterContext(addressOf(i), name, false, 0, 0)
            ->setModel("Ostrel TR-M400 Series");
        all->insert(name);
        if (i >= faulty) {
            healthy.insert(name);
        }
    }
    return healthy;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? QString(argv[1]).toInt() : 5;
    const int receiveTimeoutMs = argc > 2 ? QString(argv[2]).toInt() : 0;
    QTextStream out(stdout);
    if (qEnvironmentVariableIsEmpty("BENCH_LOG")) {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    }
    qRegisterMetaType<QStringList>();
    if (receiveTimeoutMs > 0) {
        SocketConnector::setReceiveTimeoutForTesting(receiveTimeoutMs);
    }

    QTemporaryDir dir;
    const QString scenario = dir.filePath("scenario.json");
    writeScenario(scenario, 0);
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
    poller->stopListenPrinterStatus(true); // passes only when asked
    poller->moveToThread(&thread);
    thread.start();

    out << "printers  wall ms/pass  ms/printer (median, min-max)  process CPU ms/pass\n";
    for (int count : { 1, 10, 100 }) {
        QSet<QString> all;
        const QSet<QString> healthy = registerPrinters(count, 0, &all);
        QList<double> walls;
        double cpu = 0;
        for (int pass = 0; pass < passes; ++pass) {
            const PassTimes times = runPass(poller, healthy, all);
            walls << times.allMs;
            cpu += times.cpuMs;
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

    // 10 silent and 10 refusing printers ahead of 80 healthy ones; the pass
    // ends with the silent printers' receive time-out.
    writeScenario(scenario, 10);
    QThread::msleep(1000); // the simulator reloads its scenario within 300 ms
    QSet<QString> all;
    const QSet<QString> healthy = registerPrinters(100, 20, &all);
    const PassTimes times = runPass(poller, healthy, all);
    out << "100 printers, 10 silent and 10 refusing first: 80 healthy reported (ms), whole pass (ms)\n";
    out << QString("hung pass  %1  %2\n").arg(times.healthyMs, 0, 'f', 1).arg(times.allMs, 0, 'f', 1);

    QMetaObject::invokeMethod(
        poller, [poller] { delete poller; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    sim.terminate();
    sim.waitForFinished();
    return 0;
}
