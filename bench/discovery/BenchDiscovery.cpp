// bench-discovery: cost of one watcher pass against a private cupsd with 10,
// 100 and 200 queues, in CUPS requests (counted in cupsd's access log) and
// wall time, for three ways of reading the destinations:
//   once    one CUPS-Get-Printers request per pass (what the agent does)
//   dests   one cupsGetDests per pass
//   literal cupsGetDests for the name list and again for every option read
//
//   bench-discovery [rounds] [sizes]    (default 20 rounds, sizes 10,100,200)
//
// The passes measured are steady ones: every queue is registered already, as
// in the agent after its first second. The literal reading runs fewer rounds
// (it takes seconds per pass at 200 queues).

#include "CupsSandbox.h"
#include "channel/UsbDiscovery.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "discovery/ListenPrinterInfo.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <vector>

namespace
{

QTextStream out(stdout);

void dropMessages(QtMsgType, const QMessageLogContext&, const QString&) { }

// Queue i of the bench: mostly supported network printers, with some of
// another maker and some attached over USB, as on a print server.
bool addQueue(CupsSandbox& cups, int i)
{
    static const char* const models[] = { "TR-M400", "TR-C3000", "TR7200n", "TR3200n", "TR3800" };
    const QString name = QStringLiteral("queue-%1").arg(i, 3, 10, QLatin1Char('0'));
    if (i % 10 == 7) {
        return cups.addQueue(name, QStringLiteral("socket://10.9.%1.%2:9100").arg(i / 200).arg(i % 200 + 1),
                             QStringLiteral("X100"));
    }
    if (i % 10 == 9) {
        return cups.addQueue(name, QStringLiteral("usb://Ostrel/TR-M400?serial=SN%1").arg(i),
                             QStringLiteral("TR-M400"));
    }
    return cups.addQueue(name, QStringLiteral("socket://10.9.%1.%2:9100").arg(i / 200).arg(i % 200 + 1),
                         QLatin1String(models[i % 5]));
}

struct Result {
    double medianMs = 0;
    double requestsPerPass = 0;
};

Result measure(CupsSandbox& cups, const ListenPrinterInfo::Options& options, int rounds)
{
    ListenPrinterInfo watcher(options);
    PrinterRegistry::instance().clear();
    watcher.checkPrinter(); // registers every queue
    QThread::msleep(200);

    std::vector<double> ms;
    const int requestsBefore = cups.requestCount();
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        watcher.checkPrinter();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    // cupsd logs a request after it has answered it.
    QThread::msleep(200);
    const int requests = cups.requestCount() - requestsBefore;
    std::sort(ms.begin(), ms.end());
    return { ms[ms.size() / 2], double(requests) / rounds };
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // libcups' own destination list also browses DNS-SD through avahi-daemon,
    // which would query the network: without a system bus there is no browse.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
    const int rounds = std::max(1, app.arguments().value(1, QStringLiteral("20")).toInt());
    QList<int> sizes;
    for (const QString& size : app.arguments().value(2, QStringLiteral("10,100,200")).split(QLatin1Char(','))) {
        sizes << size.toInt();
    }
    std::sort(sizes.begin(), sizes.end());

    // libcups reads lpoptions from $HOME: keep the user's out of the figures.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    CupsSandbox cups;
    if (!cups.start()) {
        out << "bench-discovery: " << cups.lastError() << Qt::endl;
        return 1;
    }
    ModelTable::readModels(QStringLiteral(PSM_SOURCE_DIR "/data/config.json"));
    initUsb();
    qInstallMessageHandler(dropMessages);

    out << QStringLiteral("%1 %2 %3 %4")
               .arg(QStringLiteral("queues"), -7)
               .arg(QStringLiteral("listing"), -8)
               .arg(QStringLiteral("median ms/pass"), 15)
               .arg(QStringLiteral("CUPS requests/pass"), 19)
        << Qt::endl;

    int queues = 0;
    for (const int size : sizes) {
        while (queues < size) {
            if (!addQueue(cups, queues++)) {
                out << "bench-discovery: " << cups.lastError() << Qt::endl;
                return 1;
            }
        }

        ListenPrinterInfo::Options options;
        options.startThread = false;
        const Result once = measure(cups, options, rounds);
        options.source = CupsDestinationList::Source::GetDests;
        const Result dests = measure(cups, options, rounds);
        options.everyReadListsAnew = true;
        const Result literal = measure(cups, options, std::max(1, size >= 100 ? rounds / 10 : rounds / 2));

        auto line = [&](const char* name, const Result& result) {
            out << QStringLiteral("%1 %2 %3 %4")
                       .arg(size, -7)
                       .arg(QLatin1String(name), -8)
                       .arg(result.medianMs, 15, 'f', 2)
                       .arg(result.requestsPerPass, 19, 'f', 1)
                << Qt::endl;
        };
        line("once", once);
        line("dests", dests);
        line("literal", literal);
        out << QStringLiteral("%1 literal/once: %2x wall time, %3x requests")
                   .arg(size, -7)
                   .arg(literal.medianMs / once.medianMs, 0, 'f', 0)
                   .arg(literal.requestsPerPass / once.requestsPerPass, 0, 'f', 0)
            << Qt::endl;
    }

    PrinterRegistry::instance().clear();
    exitUsb();
    return 0;
}
