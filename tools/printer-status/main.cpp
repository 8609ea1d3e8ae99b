// printer-status: one discovery pass and one poll of every printer found,
// with the agent's own discovery, poll steps, messages and toner rules, for
// administrators on a shell and for monitoring scripts. It never touches the
// agent's instance lock and may run while the agent runs.

#include "ListenPrinterInfo.h"
#include "ListenPrinterStatus.h"
#include "ModelTable.h"
#include "PrinterRegistry.h"
#include "StatusMessage.h"
#include "TonerInfo.h"
#include "UsbDiscovery.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTextStream>
#include <QThread>

#include <algorithm>

namespace
{
enum ExitStatus { AllNormal = 0, Problem = 1, NothingOrMisuse = 2 };

const char* const HelpText = R"(用法：printer-status [选项]... [打印机名]...
查询本机 Ostrel 打印机的状态和墨粉余量。

不带打印机名时，先像托盘程序一样从 CUPS 打印队列和 USB 总线查找打印机，
然后逐台查询；带打印机名（CUPS 队列名，或 USB 打印机的 VVVV:PPPP:序列号）
时只查询这些打印机。

  -j, --json            以一个 JSON 文档输出（状态码、消息、墨粉、查询时间）
  -w, --watch=秒数      每隔指定秒数重复查询，只输出发生变化的打印机
  -v, --verbose         把诊断信息写到标准错误
  -h, --help            显示此帮助并退出

退出状态：
  0  查询的每台打印机都处于正常状态（10000、10001、10007、10008，且无其他状态）
  1  至少一台打印机报告了状况（缺纸、卡纸、墨粉不足……）或无法查询
  2  没有找到打印机，指定的名称不是打印机，或用法错误
)";

const char* const BusyText = "通道忙，请稍后再查询(999999)";

struct PrinterResult {
    QString name;
    QString address;
    bool usb = false;
    QString model;
    QStringList codes;
    QList<TonerEntry> toners;
    QString tonerNote; // failure text when the toner could not be read
};

bool verbose = false;

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (verbose || type >= QtWarningMsg) {
        QTextStream(stderr) << message << '\n';
    }
}

QString messageFor(const QString& code)
{
    bool ok = false;
    const int value = code.toInt(&ok);
    if (ok && value == StatusCode::ChannelBusy) {
        return QString::fromUtf8(BusyText);
    }
    return statusMessage(ok ? value : 0);
}

bool isNormal(const QStringList& codes)
{
    static const QStringList normal{ "10000", "10001", "10007", "10008" };
    return codes.size() == 1 && normal.contains(codes.first());
}

// Runs one discovery pass into the registry; returns the registry's names.
QStringList discover()
{
    ListenPrinterInfo::Options options;
    options.startThread = false;
    ListenPrinterInfo watcher(options);
    watcher.checkPrinter();
    QStringList names = PrinterRegistry::instance().getPrinterContexts().keys();
    std::sort(names.begin(), names.end());
    return names;
}

PrinterResult poll(ListenPrinterStatus& poller, const QString& name)
{
    PrinterResult result;
    const PrinterContextPtr printer = PrinterRegistry::instance().getPrinterContext(name);
    result.name = name;
    result.usb = printer->isUSB();
    result.address = result.usb ? printer->ip() + QLatin1Char(' ') + name : printer->ip();
    result.model = printer->model();
    // The poller emits its report on this thread, directly.
    const auto connection
        = QObject::connect(&poller, &ListenPrinterStatus::printerStatusChanged,
                           [&result](const QString&, const QStringList& codes) { result.codes = codes; });
    poller.getPrinterStatusOnPrivateChannel(name);
    QObject::disconnect(connection);
    if (printer->supportToner()) {
        bool isJson = false;
        result.toners = parseToners(printer->tonerText(), &isJson);
        if (!isJson) {
            result.tonerNote = printer->tonerText();
        }
    }
    return result;
}

QString textBlock(const PrinterResult& r)
{
    QString block;
    QTextStream out(&block);
    out << QStringLiteral("打印机：") << r.name << '\n';
    out << (r.usb ? QStringLiteral("  USB：") : QStringLiteral("  地址：")) << r.address << '\n';
    out << QStringLiteral("  型号：") << r.model << '\n';
    for (const QString& code : r.codes) {
        out << QStringLiteral("  状态：") << messageFor(code) << '\n';
    }
    for (const TonerEntry& toner : r.toners) {
        const QString label = tonerColorLabel(toner.tonerColor);
        out << QStringLiteral("  墨粉：") << (label.isEmpty() ? toner.tonerColor : label) << ' '
            << tonerPercentText(toner) << '\n';
    }
    if (!r.tonerNote.isEmpty()) {
        out << QStringLiteral("  墨粉：") << r.tonerNote << '\n';
    }
    return block;
}

QJsonObject jsonObject(const PrinterResult& r)
{
    QJsonArray codes;
    QJsonArray messages;
    for (const QString& code : r.codes) {
        codes.append(code.toInt());
        messages.append(messageFor(code));
    }
    QJsonArray toners;
    for (const TonerEntry& toner : r.toners) {
        toners.append(QJsonObject{ { "id", toner.tonerId },
                                   { "model", toner.tonerModel },
                                   { "color", toner.tonerColor },
                                   { "label", tonerColorLabel(toner.tonerColor) },
                                   { "maxCapacity", double(toner.maxCapacity) },
                                   { "suppliesLevel", double(toner.suppliesLevel) },
                                   { "percent", tonerPercentText(toner) } });
    }
    QJsonObject object{ { "name", r.name },
                        { "address", r.usb ? QString() : r.address },
                        { "usb", r.usb },
                        { "model", r.model },
                        { "codes", codes },
                        { "messages", messages },
                        { "normal", isNormal(r.codes) },
                        { "toners", toners } };
    if (r.usb) {
        object.insert("usbIdentity", r.name);
        object.insert("product", r.address.section(QLatin1Char(' '), 0, 0));
    }
    if (!r.tonerNote.isEmpty()) {
        object.insert("tonerError", r.tonerNote);
    }
    return object;
}

bool sameResult(const PrinterResult& a, const PrinterResult& b)
{
    return textBlock(a) == textBlock(b);
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    bool json = false;
    int watchSeconds = 0;
    QStringList names;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == "-h" || arg == "--help") {
            out << QString::fromUtf8(HelpText);
            return AllNormal;
        } else if (arg == "-j" || arg == "--json") {
            json = true;
        } else if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (arg == "-w" || arg == "--watch" || arg.startsWith("--watch=")) {
            QString value = arg.startsWith("--watch=") ? arg.mid(8) : args.value(++i);
            bool ok = false;
            watchSeconds = value.toInt(&ok);
            if (!ok || watchSeconds < 1) {
                err << QStringLiteral("printer-status: --watch 需要一个正整数秒数：") << value << '\n';
                return NothingOrMisuse;
            }
        } else if (arg.startsWith('-') && arg != "-") {
            err << QStringLiteral("printer-status: 无效的选项 -- ") << arg
                << QStringLiteral("\n请尝试执行 \"printer-status --help\" 来获取更多信息。\n");
            return NothingOrMisuse;
        } else {
            names << arg;
        }
    }
    qInstallMessageHandler(quietHandler);

    ModelTable::readModels(QCoreApplication::applicationDirPath() + "/../data/" + "config.json");
    initUsb();
    ListenPrinterStatus poller;
    poller.stopListenPrinterStatus(true);

    QMap<QString, PrinterResult> previous;
    int status = AllNormal;
    for (bool first = true;; first = false) {
        const QStringList found = discover();
        QStringList wanted = names.isEmpty() ? found : names;
        QStringList unknown;
        for (const QString& name : names) {
            if (!found.contains(name)) {
                unknown << name;
                wanted.removeAll(name);
            }
        }
        for (const QString& name : first ? unknown : QStringList()) {
            err << "printer-status: " << name << QStringLiteral("：不是已发现的打印机\n");
        }

        QList<PrinterResult> results;
        for (const QString& name : wanted) {
            results << poll(poller, name);
        }
        status = (results.isEmpty() || !unknown.isEmpty()) ? NothingOrMisuse : AllNormal;
        if (status == AllNormal) {
            for (const PrinterResult& r : results) {
                if (!isNormal(r.codes)) {
                    status = Problem;
                }
            }
        }

        QList<PrinterResult> shown;
        QStringList gone;
        QMap<QString, PrinterResult> current;
        for (const PrinterResult& r : results) {
            current.insert(r.name, r);
            if (first || !previous.contains(r.name) || !sameResult(previous.value(r.name), r)) {
                shown << r;
            }
        }
        for (const QString& name : previous.keys()) {
            if (!current.contains(name)) {
                gone << name;
            }
        }
        previous = current;

        const QString time = QDateTime::currentDateTime().toString(Qt::ISODate);
        if (json) {
            QJsonArray printers;
            for (const PrinterResult& r : shown) {
                printers.append(jsonObject(r));
            }
            QJsonObject document{ { "time", time }, { "printers", printers } };
            if (!unknown.isEmpty()) {
                document.insert("unknown", QJsonArray::fromStringList(unknown));
            }
            if (!first) {
                document.insert("removed", QJsonArray::fromStringList(gone));
            }
            if (first || !shown.isEmpty() || !gone.isEmpty()) {
                out << QJsonDocument(document).toJson(watchSeconds ? QJsonDocument::Compact : QJsonDocument::Indented);
                if (watchSeconds) {
                    out << '\n';
                }
            }
        } else {
            if (first && results.isEmpty() && unknown.isEmpty()) {
                err << QStringLiteral("printer-status: 没有找到打印机\n");
            }
            for (const PrinterResult& r : shown) {
                if (watchSeconds) {
                    out << "[" << time << "]\n";
                }
                out << textBlock(r) << '\n';
            }
            for (const QString& name : gone) {
                out << "[" << time << QStringLiteral("]\n打印机：") << name << QStringLiteral("\n  已移除\n\n");
            }
        }
        out.flush();
        if (!watchSeconds) {
            break;
        }
        QThread::sleep(unsigned(watchSeconds));
    }
    exitUsb();
    return status;
}
