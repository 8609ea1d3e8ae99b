// Soak test of the status poller: passes of the real ListenPrinterStatus, on
// a thread of its own, over 50 printers served by a printer-sim process, some
// of them faulty. After a warm-up it records this process's open file
// descriptors, threads and resident memory, polls on, records them again and
// fails (exit 1) on any growth beyond the tolerances, or on a report that
// differs from what the printer's scenario must give.
//
// usage: soak-poller [--polls N] [--warmup N] [--rss-tolerance-kib N]
//        (defaults 10000, 300, 5120)

#include "channel/SocketConnector.h"
#include "core/PrinterRegistry.h"
#include "status/ListenPrinterStatus.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

namespace
{

constexpr int PrinterCount = 50;
// A printer that never answers costs one receive time-out per poll.
constexpr int ReceiveTimeoutMs = 400;

struct Usage {
    int fds = 0;
    int threads = 0;
    qint64 rssKiB = 0;
};

int entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

Usage usageOf(const QString& proc)
{
    Usage usage;
    usage.fds = entries(proc + QStringLiteral("/fd"));
    usage.threads = entries(proc + QStringLiteral("/task"));
    QFile status(proc + QStringLiteral("/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                usage.rssKiB = line.mid(6).trimmed().split(' ').value(0).toLongLong();
            }
        }
    }
    return usage;
}

QString addressOf(int i)
{
    return QStringLiteral("127.0.3.%1").arg(i + 1);
}

// The printers, and the report each one must give. Most answer normally, in
// a spread of states; every tenth is faulty in one of five ways.
struct SoakPrinter {
    QJsonObject scenario;
    QStringList report;
};

QList<SoakPrinter> soakPrinters()
{
    QList<SoakPrinter> printers;
    for (int i = 0; i < PrinterCount; ++i) {
        QJsonObject p{ { "address", addressOf(i) },
                       { "model", "TR-M400" },
                       { "toners",
                         QJsonArray{ QJsonObject{ { "tonerId", "K1" },
                                                  { "tonerColor", "black" },
                                                  { "maxCapacity", 8000 },
                                                  { "suppliesLevel", 100 * i } } } } };
        QStringList report;
        switch (i % 10) {
        case 3:
            p.insert("fault", "silent");
            if (i % 20 == 13) {
                p.insert("faultMethods", QJsonArray{ "getPrinterStatus" });
                report = QStringList{ "30006" };
            } else {
                report = QStringList{ "30001" };
            }
            break;
        case 5:
            p.insert("fault", "garbage");
            p.insert("faultMethods", QJsonArray{ "getDeviceInfo" });
            report = QStringList{ "30005" };
            break;
        case 7:
            p.insert("fault", "refuse");
            report = QStringList{ "30001" };
            break;
        case 9:
            p.insert("loginResult", 2);
            report = QStringList{ "30007" };
            break;
        case 1:
            p.insert("fault", i % 20 == 1 ? "closeMidFrame" : "oversized");
            p.insert("faultMethods", QJsonArray{ "getDeviceId" });
            report = QStringList{ "30002" };
            break;
        default: {
            const int state = i % 9;
            p.insert("state", state);
            p.insert("flags", QJsonArray{ 4, 64 });
            p.insert("detail", QStringLiteral("x,2,2000%1,201600").arg(10 + i));
            report << QString::number(10000 + state);
            if (state != 0 && state != 8) {
                report << "20003"
                       << "20007";
            }
            report << QStringLiteral("2000%1").arg(10 + i) << "201600";
        }
        }
        printers.append({ p, report });
    }
    return printers;
}

QString line(const char* label, const Usage& u)
{
    return QStringLiteral("%1  fds %2  threads %3  VmRSS %4 KiB")
        .arg(QLatin1String(label), -10)
        .arg(u.fds, 4)
        .arg(u.threads, 3)
        .arg(u.rssKiB, 7);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ "polls", "Polls after the warm-up.", "N", "10000" });
    parser.addOption({ "warmup", "Polls before the first measurement.", "N", "300" });
    parser.addOption({ "rss-tolerance-kib", "Allowed growth of VmRSS.", "KiB", "5120" });
    parser.process(app);
    const int polls = parser.value("polls").toInt();
    const int warmup = parser.value("warmup").toInt();
    const qint64 rssTolerance = parser.value("rss-tolerance-kib").toLongLong();
    QTextStream out(stdout);
    // The poller's diagnostic lines are not what this measures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    const QList<SoakPrinter> printers = soakPrinters();
    QTemporaryDir dir;
    QJsonArray scenario;
    for (const SoakPrinter& p : printers) {
        scenario.append(p.scenario);
    }
    QFile file(dir.filePath("scenario.json"));
    if (!file.open(QIODevice::WriteOnly)) {
        out << "soak: cannot write the scenario\n";
        return 2;
    }
    file.write(QJsonDocument(QJsonObject{ { "printers", scenario } }).toJson());
    file.close();

    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(QCoreApplication::applicationDirPath() + "/printer-sim", { file.fileName() });
    QByteArray simOutput;
    while (!simOutput.contains("printer-sim: ready") && sim.waitForReadyRead(10000)) {
        simOutput += sim.readAll();
    }
    if (!simOutput.contains("printer-sim: ready")) {
        out << "soak: printer-sim did not start\n" << simOutput;
        return 2;
    }
    const QString simProc = QStringLiteral("/proc/%1").arg(sim.processId());

    SocketConnector::setReceiveTimeoutForTesting(ReceiveTimeoutMs);
    QHash<QString, QStringList> expected;
    for (int i = 0; i < PrinterCount; ++i) {
        const QString name = QStringLiteral("soak-%1").arg(i + 1, 2, 10, QLatin1Char('0'));
        PrinterContextPtr printer = PrinterRegistry::instance().addPrinterContext(addressOf(i), name, false, 0, 0);
        printer->setModel("Ostrel TR-M400 Series");
        printer->setSupportToner(true);
        expected.insert(name, printers.at(i).report);
    }

    // The agent's arrangement: the poller on its own thread, reports queued
    // to this one.
    QThread thread;
    auto* poller = new ListenPrinterStatus;
    poller->moveToThread(&thread);
    thread.start();
    int reports = 0;
    QMap<QString, int> wrong; // "name: report" -> count
    QObject receiver;
    QObject::connect(
        poller, &ListenPrinterStatus::printerStatusChanged, &receiver,
        [&](const QString& name, const QStringList& list) {
            ++reports;
            if (list != expected.value(name)) {
                ++wrong[name + QStringLiteral(": ") + list.join(QLatin1Char(' '))];
            }
        },
        Qt::QueuedConnection);

    const auto pass = [&] {
        QMetaObject::invokeMethod(
            poller, [poller] { poller->refreshPrinterStatus(); }, Qt::BlockingQueuedConnection);
        QCoreApplication::processEvents();
    };
    const auto runPolls = [&](int count) {
        const int target = reports + count;
        while (reports < target) {
            pass();
        }
    };

    out << "soak: " << PrinterCount << " printers at 127.0.3.1-" << PrinterCount << ", " << warmup
        << " warm-up polls, then " << polls << " polls\n";
    QElapsedTimer wall;
    wall.start();
    runPolls(warmup);
    const Usage start = usageOf(QStringLiteral("/proc/self"));
    const Usage simStart = usageOf(simProc);
    const int startReports = reports;
    out << line("start", start) << "   (printer-sim: " << line("", simStart).trimmed() << ")\n";
    out.flush();

    QElapsedTimer measured;
    measured.start();
    for (int done = 0; done < polls;) {
        const int step = qMin(1000, polls - done);
        runPolls(step);
        done = reports - startReports;
        out << line(qPrintable(QString::number(done)), usageOf(QStringLiteral("/proc/self"))) << "   "
            << measured.elapsed() / 1000 << " s\n";
        out.flush();
    }
    const Usage end = usageOf(QStringLiteral("/proc/self"));
    const Usage simEnd = usageOf(simProc);

    QMetaObject::invokeMethod(
        poller, [poller] { delete poller; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    sim.terminate();
    sim.waitForFinished(5000);

    const double seconds = wall.elapsed() / 1000.0;
    out << line("end", end) << "   (printer-sim: " << line("", simEnd).trimmed() << ")\n";
    out << QStringLiteral("soak: %1 polls measured (%2 in all) in %3 s, %4 ms per poll\n")
               .arg(reports - startReports)
               .arg(reports)
               .arg(seconds, 0, 'f', 1)
               .arg(measured.elapsed() / double(reports - startReports), 0, 'f', 1);
    out << QStringLiteral("soak: growth  fds %1  threads %2  VmRSS %3 KiB (tolerance 0, 0, %4 KiB)\n")
               .arg(end.fds - start.fds)
               .arg(end.threads - start.threads)
               .arg(end.rssKiB - start.rssKiB)
               .arg(rssTolerance);

    bool ok = true;
    if (end.fds > start.fds || end.threads > start.threads || end.rssKiB - start.rssKiB > rssTolerance) {
        out << "soak: FAILED: resources grew\n";
        ok = false;
    }
    if (!wrong.isEmpty()) {
        out << "soak: FAILED: unexpected reports\n";
        for (auto it = wrong.cbegin(); it != wrong.cend(); ++it) {
            out << "  " << it.value() << " x " << it.key() << "\n";
        }
        ok = false;
    }
    if (ok) {
        out << "soak: passed\n";
    }
    return ok ? 0 : 1;
}
