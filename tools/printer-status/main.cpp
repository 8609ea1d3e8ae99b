// printer-status: one discovery pass and one poll of every printer found,
// with the agent's own discovery, poll steps, messages and toner rules, for
// administrators on a shell and for monitoring scripts. It never touches the
// agent's instance lock and may run while the agent runs.

#include "CupsProbe.h"
#include "ExporterServer.h"
#include "PrinterPoll.h"
#include "PrinterResult.h"
#include "PrometheusText.h"
#include "channel/UsbDiscovery.h"
#include "core/DataPaths.h"
#include "core/DescriptorLimit.h"
#include "core/ModelTable.h"
#include "status/StatusMessage.h"
#include "status/TonerInfo.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <pthread.h>

namespace
{
enum ExitStatus { AllNormal = 0, Problem = 1, NothingOrMisuse = 2 };

const char* const HelpText = R"(用法：printer-status [选项]... [打印机名]...
查询本机 Ostrel 打印机的状态和墨粉余量。

不带打印机名时，先像托盘程序一样从 CUPS 打印队列和 USB 总线查找打印机，
然后同时查询各台打印机；带打印机名（CUPS 队列名，或 USB 打印机的
VVVV:PPPP:序列号）时只查询这些打印机，同一名称只查询一次。

  -j, --json            以一个 JSON 文档输出（状态码、消息、墨粉、查询时间）
  -p, --prometheus      以 Prometheus 文本格式输出（供 node exporter 的
                        textfile 收集器读取）
  -o, --output=文件     把输出写入文件：先写在它旁边，再改名替换，
                        读取者只会看到旧文件或新文件
  -w, --watch=秒数      每隔指定秒数重复查询，只输出发生变化的打印机
                        （--prometheus 或 --output 时每次输出全部打印机）
  -l, --listen=[地址][:端口]
                        作为 Prometheus 导出程序运行，在该地址和端口上提供
                        HTTP 服务（默认 127.0.0.1:%1）：
                          /probe?target=IPv4 地址  查询这一台打印机
                          /metrics                 查询找到的全部打印机
                        可探测的地址由 config.json 的 exporterTargets
                        （IPv4 网络列表，如 ["10.1.0.0/16"]）决定；没有该项时
                        只能探测支持型号的 CUPS 队列所用的地址
  -v, --verbose         把诊断信息写到标准错误
  -V, --version         显示版本并退出
  -h, --help            显示此帮助并退出

退出状态：
  0  查询的每台打印机都处于正常状态（10000、10001、10007、10008，且无其他状态）
  1  至少一台打印机报告了状况（缺纸、卡纸、墨粉不足……）或无法查询
  2  没有找到打印机，打印服务器无响应，指定的名称不是打印机，用法错误，
     或输出无法写入；--listen 时：无法监听，或配置有误
)";

// How long the print server may take to answer before it counts as silent.
constexpr int CupsAnswerTimeoutMs = 10000;
// Polls run side by side, each on a worker of its own.
constexpr int PollWorkers = 8;

bool verbose = false;

void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (verbose || type >= QtWarningMsg) {
        QTextStream(stderr) << message << '\n';
    }
}

QString textBlock(const PrinterResult& r)
{
    QString block;
    QTextStream out(&block);
    out << QStringLiteral("打印机：") << visibleText(r.name) << '\n';
    out << (r.usb ? QStringLiteral("  USB：") : QStringLiteral("  地址：")) << visibleText(r.address) << '\n';
    out << QStringLiteral("  型号：") << visibleText(r.model) << '\n';
    for (const QString& code : r.codes) {
        out << QStringLiteral("  状态：") << messageFor(code) << '\n';
    }
    for (const TonerEntry& toner : r.toners) {
        const QString label = tonerColorLabel(toner.tonerColor);
        out << QStringLiteral("  墨粉：") << (label.isEmpty() ? visibleText(toner.tonerColor) : label) << ' '
            << tonerPercentText(toner) << '\n';
    }
    if (!r.tonerNote.isEmpty()) {
        out << QStringLiteral("  墨粉：") << visibleText(r.tonerNote) << '\n';
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
    QJsonObject object{ { "name", r.name },         { "address", r.usb ? QString() : r.address },
                        { "usb", r.usb },           { "model", r.model },
                        { "deviceId", r.deviceId }, { "codes", codes },
                        { "messages", messages },   { "normal", isNormal(r.codes) },
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

struct Options {
    bool json = false;
    bool prometheus = false;
    int watchSeconds = 0;
    QString outputFile;
    QString listen; // --listen's value; listening when set
    bool listening = false;
    QStringList names; // each name once, in the order first given
};

// Misuse is reported on standard error and ends with status 2.
int misuse(const QString& message)
{
    QTextStream(stderr) << QStringLiteral("printer-status: ") << message << '\n';
    return NothingOrMisuse;
}

int invalidOption(const QString& option)
{
    return misuse(QStringLiteral("无效的选项 -- ") + option
                  + QStringLiteral("\n请尝试执行 \"printer-status --help\" 来获取更多信息。"));
}

// The parser's own error texts are English; each case it can fail on gets a
// message of ours: an unknown option, a value given to a switch (--json=1),
// and a missing value, which the value checks below report.
int parseError(const QCommandLineParser& parser, const QStringList& arguments)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        const QString& name = unknown.first();
        return invalidOption((name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name);
    }
    const QStringList switchValue = arguments.filter(QRegularExpression("^--(help|json|prometheus|verbose|version)="));
    return switchValue.isEmpty() ? -1 : invalidOption(switchValue.first());
}

// Checks the values of --output and --watch; -1 when both are usable.
int readValues(const QCommandLineParser& parser, Options& options)
{
    if (parser.isSet(QStringLiteral("output"))) {
        options.outputFile = parser.value(QStringLiteral("output"));
        if (options.outputFile.isEmpty()) {
            return misuse(QStringLiteral("--output 需要一个文件名"));
        }
    }
    if (parser.isSet(QStringLiteral("watch"))) {
        const QString value = parser.value(QStringLiteral("watch"));
        bool ok = false;
        options.watchSeconds = value.toInt(&ok);
        if (!ok || options.watchSeconds < 1) {
            return misuse(QStringLiteral("--watch 需要一个正整数秒数：") + value);
        }
    }
    return -1;
}

// Returns -1 to go on, else the exit status; help is filled for --help.
// arguments starts with the program name. The help text is kept by hand:
// the parser's own would be in English.
int parseArguments(const QStringList& arguments, Options& options, QByteArray& help)
{
    QCommandLineParser parser;
    parser.addOptions({ QCommandLineOption(QStringList{ "h", "help" }), QCommandLineOption(QStringList{ "j", "json" }),
                        QCommandLineOption(QStringList{ "p", "prometheus" }),
                        QCommandLineOption(QStringList{ "v", "verbose" }),
                        QCommandLineOption(QStringList{ "V", "version" }),
                        QCommandLineOption(QStringList{ "o", "output" }, QString(), QStringLiteral("文件")),
                        QCommandLineOption(QStringList{ "w", "watch" }, QString(), QStringLiteral("秒数")),
                        QCommandLineOption(QStringList{ "l", "listen" }, QString(), QStringLiteral("地址")) });
    const bool parsed = parser.parse(arguments);
    if (!parsed) {
        const int status = parseError(parser, arguments);
        if (status >= 0) {
            return status;
        }
    }
    if (parser.isSet(QStringLiteral("help"))) {
        help = QString::fromUtf8(HelpText).arg(ExporterServer::DefaultPort).toUtf8();
        return AllNormal;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        help = "printer-status " PSM_VERSION "\n";
        return AllNormal;
    }
    const int status = readValues(parser, options);
    if (status >= 0) {
        return status;
    }
    if (!parsed) {
        return misuse(QStringLiteral("选项有误：") + parser.errorText()); // a parser error not foreseen above
    }
    options.json = parser.isSet(QStringLiteral("json"));
    options.prometheus = parser.isSet(QStringLiteral("prometheus"));
    verbose = parser.isSet(QStringLiteral("verbose"));
    if (options.json && options.prometheus) {
        return misuse(QStringLiteral("--json 和 --prometheus 不能同时使用"));
    }
    options.listening = parser.isSet(QStringLiteral("listen"));
    options.listen = parser.value(QStringLiteral("listen"));
    if (options.listening
        && (options.json || options.prometheus || options.watchSeconds || !options.outputFile.isEmpty()
            || !parser.positionalArguments().isEmpty())) {
        return misuse(QStringLiteral("--listen 不能与其他输出选项或打印机名同时使用"));
    }
    for (const QString& name : parser.positionalArguments()) {
        if (!options.names.contains(name)) {
            options.names << name;
        }
    }
    return -1;
}

// One poll of every printer asked for.
struct Round {
    QList<PrinterResult> results;
    QStringList unknown; // names asked for that discovery did not find
    bool serverSilent = false;
    QString time;
    QDateTime when;
};

Round pollRound(const QStringList& names)
{
    Round round;
    round.when = QDateTime::currentDateTime();
    round.time = round.when.toString(Qt::ISODate);
    if (probeCupsServer(CupsAnswerTimeoutMs) == CupsServerState::NoAnswer) {
        round.serverSilent = true;
        return round;
    }
    const QStringList found = PrinterPoll::discover();
    QStringList wanted = names.isEmpty() ? found : names;
    for (const QString& name : names) {
        if (!found.contains(name)) {
            round.unknown << name;
            wanted.removeAll(name);
        }
    }
    round.results = PrinterPoll::pollAll(wanted, PollWorkers);
    return round;
}

int exitStatus(const Round& round)
{
    if (round.serverSilent || round.results.isEmpty() || !round.unknown.isEmpty()) {
        return NothingOrMisuse;
    }
    for (const PrinterResult& r : round.results) {
        if (!isNormal(r.codes)) {
            return Problem;
        }
    }
    return AllNormal;
}

QByteArray jsonText(const Options& options, const Round& round, const QList<PrinterResult>& shown,
                    const QStringList& gone, bool first)
{
    QJsonArray printers;
    for (const PrinterResult& r : shown) {
        printers.append(jsonObject(r));
    }
    QJsonObject document{ { "time", round.time }, { "printers", printers } };
    if (round.serverSilent) {
        document.insert("error", QStringLiteral("打印服务器无响应"));
    }
    if (!round.unknown.isEmpty()) {
        document.insert("unknown", QJsonArray::fromStringList(round.unknown));
    }
    if (!first) {
        document.insert("removed", QJsonArray::fromStringList(gone));
    }
    if (!first && shown.isEmpty() && gone.isEmpty()) {
        return QByteArray();
    }
    const bool compact = options.watchSeconds && options.outputFile.isEmpty();
    return QJsonDocument(document).toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented)
        + (compact ? "\n" : "");
}

QByteArray plainText(const Options& options, const Round& round, const QList<PrinterResult>& shown,
                     const QStringList& gone)
{
    QString text;
    QTextStream out(&text);
    const bool stamp = options.watchSeconds && options.outputFile.isEmpty();
    for (const PrinterResult& r : shown) {
        if (stamp) {
            out << "[" << round.time << "]\n";
        }
        out << textBlock(r) << '\n';
    }
    for (const QString& name : gone) {
        out << "[" << round.time << QStringLiteral("]\n打印机：") << visibleText(name)
            << QStringLiteral("\n  已移除\n\n");
    }
    out.flush();
    return text.toUtf8();
}

// Writes all of data to standard output; false, with errno set, on failure.
bool writeStdout(const QByteArray& data)
{
    errno = 0;
    const size_t written = std::fwrite(data.constData(), 1, size_t(data.size()), stdout);
    return written == size_t(data.size()) && std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// Written beside the file, then renamed over it: a reader sees the old file
// or the new one, never a mix.
bool writeFileAtomically(const QString& path, const QByteArray& data, QString& error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

// Sends one round's output where it goes; false after reporting a failure.
bool emitOutput(const Options& options, const QByteArray& data)
{
    QTextStream err(stderr);
    if (!options.outputFile.isEmpty()) {
        QString error;
        if (!writeFileAtomically(options.outputFile, data, error)) {
            err << QStringLiteral("printer-status: 无法写入 ") << options.outputFile << QStringLiteral("：") << error
                << '\n';
            return false;
        }
        return true;
    }
    if (!writeStdout(data)) {
        err << QStringLiteral("printer-status: 写入标准输出失败：") << QString::fromLocal8Bit(std::strerror(errno))
            << '\n';
        return false;
    }
    return true;
}

// The printers whose report changed since the last round, and those gone.
void changes(const Round& round, QMap<QString, PrinterResult>& previous, bool first, QList<PrinterResult>& shown,
             QStringList& gone)
{
    QMap<QString, PrinterResult> current;
    for (const PrinterResult& r : round.results) {
        current.insert(r.name, r);
        if (first || !previous.contains(r.name) || !sameResult(previous.value(r.name), r)) {
            shown << r;
        }
    }
    for (auto it = previous.cbegin(); it != previous.cend(); ++it) {
        if (!current.contains(it.key())) {
            gone << it.key();
        }
    }
    previous = current;
}

// Reports the round on standard error where the output does not show it.
void reportProblems(const Options& options, const Round& round, bool first)
{
    QTextStream err(stderr);
    if (round.serverSilent) {
        err << QStringLiteral("printer-status: 打印服务器无响应：") << cupsServerName() << '\n';
        return;
    }
    for (const QString& name : first ? round.unknown : QStringList()) {
        err << "printer-status: " << name << QStringLiteral("：不是已发现的打印机\n");
    }
    if (first && !options.json && !options.prometheus && round.results.isEmpty() && round.unknown.isEmpty()) {
        err << QStringLiteral("printer-status: 没有找到打印机\n");
    }
}

// The round in the chosen format; first is true when all of it is shown.
QByteArray roundOutput(const Options& options, const Round& round, const QList<PrinterResult>& shown,
                       const QStringList& gone, bool first)
{
    if (options.prometheus) {
        // A silent print server leaves the last file: its age tells.
        return round.serverSilent ? QByteArray() : prometheusText(round.results, round.when);
    }
    if (options.json) {
        return jsonText(options, round, shown, gone, first);
    }
    return plainText(options, round, shown, gone);
}

// Polls, prints, and with --watch repeats; returns the exit status.
int run(const Options& options)
{
    // With --prometheus or a file, each round gives the whole poll.
    const bool whole = options.prometheus || !options.outputFile.isEmpty();
    QMap<QString, PrinterResult> previous;
    int status = AllNormal;
    for (bool first = true;; first = false) {
        const Round round = pollRound(options.names);
        status = exitStatus(round);
        reportProblems(options, round, first);
        QList<PrinterResult> shown;
        QStringList gone;
        changes(round, previous, first || whole, shown, gone);
        if (whole) {
            gone.clear();
        }
        const QByteArray data = roundOutput(options, round, shown, gone, first || whole);
        const bool skip = data.isEmpty() && (options.prometheus || !options.outputFile.isEmpty());
        if (!skip && !emitOutput(options, data)) {
            return NothingOrMisuse;
        }
        if (!options.watchSeconds) {
            return status;
        }
        QThread::sleep(unsigned(options.watchSeconds));
    }
}
// "ADDRESS:PORT", ":PORT", "ADDRESS" or "PORT"; false when malformed.
bool parseListen(const QString& text, ExporterServer::Settings& settings)
{
    QString host = text;
    QString port;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
    } else if (!text.contains(QLatin1Char('.'))) {
        host.clear();
        port = text;
    }
    if (!port.isEmpty()) {
        bool ok = false;
        const uint value = port.toUInt(&ok, 10);
        if (!ok || value > 65535 || !port.at(0).isDigit()) {
            return false;
        }
        settings.port = quint16(value);
    }
    return host.isEmpty() || TargetAllowList::parseDotted(host, &settings.address);
}

// The exporter's allow-list from config.json: a broken "exporterTargets" is
// refused rather than read as no networks, which would change what may be
// probed. A config.json that is not JSON has no networks, the narrow case.
bool readTargets(TargetAllowList& targets, QString* error)
{
    QFile file(configFilePath());
    const QJsonObject config
        = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
    return targets.read(config.value(QStringLiteral("exporterTargets")), error);
}

// Serves until SIGTERM or SIGINT; returns the exit status.
int listen(const Options& options)
{
    ExporterServer::Settings settings;
    QString error;
    if (!parseListen(options.listen, settings)) {
        return misuse(QStringLiteral("--listen 需要 [IPv4 地址][:端口]：") + options.listen);
    }
    if (!readTargets(settings.targets, &error)) {
        return misuse(configFilePath() + QStringLiteral("：") + error);
    }
    // Waited for here; every thread started from now on inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ExporterServer server(settings);
    if (!server.start(&error)) {
        QTextStream(stderr) << QStringLiteral("printer-status: 无法监听 ") << options.listen << QStringLiteral("：")
                            << error << '\n';
        return NothingOrMisuse;
    }
    const quint32 a = settings.address;
    QTextStream(stderr) << QStringLiteral("printer-status: listening on http://%1.%2.%3.%4:%5/")
                               .arg(a >> 24)
                               .arg((a >> 16) & 0xff)
                               .arg((a >> 8) & 0xff)
                               .arg(a & 0xff)
                               .arg(server.port())
                        << Qt::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return AllNormal;
}
} // namespace

int main(int argc, char* argv[])
{
    raiseDescriptorLimit();
    // A closed pipe is a failed write, reported, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Options options;
    QByteArray help;
    const int parsed = parseArguments(app.arguments(), options, help);
    if (parsed >= 0) {
        return (help.isEmpty() || emitOutput(Options(), help)) ? parsed : NothingOrMisuse;
    }
    qInstallMessageHandler(quietHandler);

    ModelTable::readModels(configFilePath());
    initUsb();
    const int status = options.listening ? listen(options) : run(options);
    exitUsb();
    return status;
}
