// psm-screenshots: renders the monitor window with three made-up printers
// (normal, toner low, jammed), the settings window and the about dialog into
// PNG files, for the README.
//
//   LANG=zh_CN.UTF-8 xvfb-run -a build/bin/psm-screenshots docs/screenshots
//
// The printers exist only in the registry of this process: the windows are
// fed through their own slots, as the watcher and the poller would feed them.
// The settings window probes a closed loopback port, never the internet.
//
//   psm-screenshots --live DIR [SECONDS]
//
// runs the agent's whole stack instead (tray controller, watcher, poller)
// against whatever print server and printers the environment offers, waits up
// to SECONDS (default 30) until every printer found has reported, and writes
// the monitor window once per printer as DIR/monitor-<row>-<name>.png. The
// demo uses it where there is no desktop to open the window from.

#include "app/PrintAgentClient.h"
#include "app/Startup.h"
#include "core/PrinterRegistry.h"
#include "ui/AboutDialog.h"
#include "ui/FunctionsetWidget.h"
#include "ui/NetworkPolicy.h"
#include "ui/Status.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListView>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>

namespace
{
struct FakePrinter {
    QString name; // registry key
    QString rowText; // what the list shows
    QString address; // ip field
    bool usb;
    QString model;
    QList<QPair<QString, int>> toners; // colour, level of 8000
    QList<QStringList> reports; // oldest first
};

QString deviceInfo(const FakePrinter& printer)
{
    QJsonArray toners;
    for (const auto& toner : printer.toners) {
        toners.append(QJsonObject{ { "tonerId", toner.first.left(1).toUpper() + "1" },
                                   { "tonerModel", printer.model + "-" + toner.first },
                                   { "tonerColor", toner.first },
                                   { "tonerDescription", "" },
                                   { "maxCapacity", 8000 },
                                   { "suppliesLevel", toner.second } });
    }
    const QJsonObject reply{ { "model", printer.model }, { "tonerGroup", QJsonObject{ { "toners", toners } } } };
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
}

void settle(int msecs = 300)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < msecs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

bool save(QWidget& widget, const QString& path)
{
    settle();
    const bool ok = widget.grab().save(path);
    QTextStream(ok ? stdout : stderr) << (ok ? "wrote " : "cannot write ") << path << Qt::endl;
    return ok;
}

quint16 closedLoopbackPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// A file name part that any file system takes.
QString fileSafe(const QString& text)
{
    QString safe;
    for (const QChar c : text) {
        safe += (c.isLetterOrNumber() || c == QLatin1Char('-')) ? c : QLatin1Char('_');
    }
    return safe;
}

int liveScreenshots(const QString& outDir, int seconds)
{
    PrintAgentClient client;
    client.onShowPrinterWidget();
    Status* status = client.monitorWindow();
    if (!status) {
        QTextStream(stderr) << "psm-screenshots: no monitor window" << Qt::endl;
        return 1;
    }
    auto* list = status->findChild<QListView*>(QStringLiteral("listView"));

    // Wait until the printers found have all been polled at least once.
    QElapsedTimer timer;
    timer.start();
    int rows = 0;
    while (timer.elapsed() < seconds * 1000) {
        settle(1000);
        rows = list->model()->rowCount();
        int reported = 0;
        for (const auto& context : PrinterRegistry::instance().getPrinterContexts()) {
            reported += context->statusEntries().isEmpty() ? 0 : 1;
        }
        if (rows > 0 && reported >= rows) {
            break;
        }
        // A printer is polled when it is clicked; the first one already was.
        for (int row = 1; row < rows; ++row) {
            status->slotPrinterStatus(list->model()->index(row, 0));
        }
    }
    if (rows == 0) {
        QTextStream(stderr) << "psm-screenshots: no printer found in " << seconds << " s" << Qt::endl;
        return 1;
    }
    bool ok = true;
    for (int row = 0; row < rows; ++row) {
        const QModelIndex index = list->model()->index(row, 0);
        list->setCurrentIndex(index);
        status->slotPrinterStatus(index);
        settle(1500); // the click asks for a fresh poll
        const QString name = QStringLiteral("monitor-%1-%2.png").arg(row + 1).arg(fileSafe(index.data().toString()));
        ok = save(*status, outDir + QLatin1Char('/') + name) && ok;
    }
    return ok ? 0 : 1;
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    loadFont();
    QStringList args = app.arguments().mid(1);
    const bool live = !args.isEmpty() && args.first() == QLatin1String("--live");
    if (live) {
        args.removeFirst();
    }
    const QString outDir = args.value(0, QStringLiteral("screenshots"));
    QDir().mkpath(outDir);
    if (live) {
        return liveScreenshots(outDir, args.value(1, QStringLiteral("30")).toInt());
    }

    const QList<FakePrinter> printers = {
        { "TR-M400-前台",
          "TR-M400-前台",
          "192.168.10.21",
          false,
          "TR-M400",
          { { "black", 6100 } },
          { { "10008" }, { "10000" } } },
        { "TR-C3000-财务室",
          "TR-C3000-财务室",
          "192.168.10.35",
          false,
          "TR-C3000",
          { { "black", 5200 }, { "cyan", 3300 }, { "magenta", 6500 }, { "yellow", 420 } },
          { { "10000" }, { "10002", "20003", "200032" } } },
        { "2d8f:a72c:OST72N0817",
          "TR7200n",
          "TR7200n",
          true,
          "TR7200n",
          { { "black", 2900 } },
          { { "10001" }, { "10003", "20006", "200324" } } },
    };

    PrinterRegistry& registry = PrinterRegistry::instance();
    PrinterList list;
    Status status(list);
    for (const FakePrinter& printer : printers) {
        PrinterContextPtr context = registry.addPrinterContext(printer.address, printer.name, printer.usb, 7, 1);
        context->setModel(printer.model);
        context->setSupportToner(true);
        context->setTonerText(deviceInfo(printer));
        if (printer.usb) {
            list.onAddUSBPrinter(printer.rowText, printer.name);
        } else {
            list.onAddPrinter(printer.name);
        }
    }
    for (const FakePrinter& printer : printers) {
        for (const QStringList& report : printer.reports) {
            list.onPrinterStatusChanged(printer.name, report);
        }
    }
    // The reports of a real agent come a minute apart.
    const QDateTime now = QDateTime::currentDateTime();
    for (const FakePrinter& printer : printers) {
        PrinterContextPtr context = registry.getPrinterContext(printer.name);
        QList<StatusEntry> entries = context->statusEntries();
        for (int i = 0; i < entries.size(); ++i) {
            entries[i].time = now.addSecs(-60 * (entries.size() - 1 - i)).addMSecs(-137 * i);
        }
        context->setStatusEntries(entries);
    }
    status.show();

    bool ok = true;
    const char* const files[] = { "monitor-normal.png", "monitor-toner-low.png", "monitor-jammed.png" };
    for (int row = 0; row < printers.size(); ++row) {
        const QModelIndex index = list.model()->index(row, 0);
        list.select(list.printerKey(row));
        status.slotPrinterStatus(index);
        ok = save(status, outDir + QLatin1Char('/') + QLatin1String(files[row])) && ok;
    }

    QTemporaryDir dir;
    NetworkPolicy policy(ProbeTarget{ QStringLiteral("127.0.0.1"), closedLoopbackPort() });
    FunctionsetWidget settings(dir.filePath(QStringLiteral("settings.db")), policy);
    settings.show();
    ok = save(settings, outDir + QStringLiteral("/settings.png")) && ok;

    AboutDialog about;
    about.setInfo(PrintAgentClient::aboutRows());
    about.show();
    ok = save(about, outDir + QStringLiteral("/about.png")) && ok;

    return ok ? 0 : 1;
}
