#include "PrometheusText.h"

#include <QSet>
#include <QTextStream>

#include <algorithm>
#include <functional>

namespace
{
QString label(const char* name, const QString& value)
{
    return QLatin1String(name) + QLatin1String("=\"") + escapeLabelValue(value) + QLatin1Char('"');
}

QString printerLabels(const PrinterResult& r)
{
    return label("printer", r.name) + QLatin1Char(',') + label("address", r.usb ? QString() : r.address)
        + QLatin1Char(',') + label("model", r.model);
}

void header(QTextStream& out, const char* name, const char* help)
{
    out << "# HELP " << name << ' ' << QString::fromUtf8(help) << '\n' << "# TYPE " << name << " gauge\n";
}

QString number(double value)
{
    return QString::number(value, 'g', 10);
}

// black, cyan, magenta, yellow in lower case; any other colour as reported.
QString colorName(const QString& color)
{
    static const QStringList known{ "black", "cyan", "magenta", "yellow" };
    const QString lower = color.toLower();
    return known.contains(lower) ? lower : color;
}

double tonerRatio(const TonerEntry& toner)
{
    const qint64 full = std::max<qint64>(toner.maxCapacity, 0);
    const qint64 left = std::max<qint64>(toner.suppliesLevel, 0);
    if (full == 0) {
        return 0;
    }
    return std::min(1.0, double(left) / double(full));
}

// A printer's own text in a label is bounded: a label is kept with every
// sample Prometheus stores.
constexpr int MaxDeviceIdLength = 128;

void tonerLines(QTextStream& out, const QList<PrinterResult>& results, const char* name,
                const std::function<QString(const TonerEntry&)>& value)
{
    for (const PrinterResult& r : results) {
        QSet<QString> colors; // a second cartridge of one colour would repeat the series
        for (const TonerEntry& toner : r.toners) {
            const QString color = colorName(toner.tonerColor);
            if (!colors.contains(color)) {
                colors.insert(color);
                out << name << '{' << printerLabels(r) << ',' << label("color", color) << "} " << value(toner) << '\n';
            }
        }
    }
}

void conditionLines(QTextStream& out, const PrinterResult& r)
{
    QSet<QString> seen; // one series per code even when a report repeats it
    for (const QString& code : r.codes) {
        if (!seen.contains(code)) {
            seen.insert(code);
            out << "printer_status_condition{" << printerLabels(r) << ',' << label("code", code) << ','
                << label("message", messageFor(code)) << "} 1\n";
        }
    }
}
} // namespace

QString escapeLabelValue(const QString& value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\')) {
            escaped += QLatin1String("\\\\");
        } else if (c == QLatin1Char('"')) {
            escaped += QLatin1String("\\\"");
        } else if (c == QLatin1Char('\n')) {
            escaped += QLatin1String("\\n");
        } else {
            escaped += c;
        }
    }
    return escaped;
}

QByteArray prometheusText(const QList<PrinterResult>& results, const QDateTime& pollTime)
{
    QString text;
    QTextStream out(&text);
    header(out, "printer_status_up", "打印机是否应答并返回了状态（1 是，0 否）");
    for (const PrinterResult& r : results) {
        out << "printer_status_up{" << printerLabels(r) << "} " << (gotReport(r.codes) ? 1 : 0) << '\n';
    }
    header(out, "printer_status_normal", "打印机是否处于正常状态（1 是，0 否）");
    for (const PrinterResult& r : results) {
        out << "printer_status_normal{" << printerLabels(r) << "} " << (isNormal(r.codes) ? 1 : 0) << '\n';
    }
    header(out, "printer_status_condition", "打印机报告的状态码，每个状态码一个序列");
    for (const PrinterResult& r : results) {
        conditionLines(out, r);
    }
    header(out, "printer_info", "打印机的名称、地址、型号和设备 ID，值恒为 1");
    for (const PrinterResult& r : results) {
        out << "printer_info{" << printerLabels(r) << ',' << label("device_id", r.deviceId.left(MaxDeviceIdLength))
            << "} 1\n";
    }
    header(out, "printer_toner_level_ratio", "墨粉余量，0 到 1");
    tonerLines(out, results, "printer_toner_level_ratio", [](const TonerEntry& t) { return number(tonerRatio(t)); });
    header(out, "printer_toner_level", "墨粉余量，以打印机报告的单位计");
    tonerLines(out, results, "printer_toner_level",
               [](const TonerEntry& t) { return number(double(std::max<qint64>(t.suppliesLevel, 0))); });
    header(out, "printer_toner_capacity", "墨盒满量，以打印机报告的单位计");
    tonerLines(out, results, "printer_toner_capacity",
               [](const TonerEntry& t) { return number(double(std::max<qint64>(t.maxCapacity, 0))); });
    header(out, "printer_status_poll_duration_seconds", "查询这台打印机所用的秒数");
    for (const PrinterResult& r : results) {
        out << "printer_status_poll_duration_seconds{" << printerLabels(r) << "} " << number(r.pollSeconds) << '\n';
    }
    header(out, "printer_status_last_poll_timestamp_seconds", "本次查询的时间（Unix 时间，秒）");
    out << "printer_status_last_poll_timestamp_seconds " << number(pollTime.toMSecsSinceEpoch() / 1000.0) << '\n';
    out.flush();
    return text.toUtf8();
}

QByteArray probeText(bool success, double seconds)
{
    QString text;
    QTextStream out(&text);
    header(out, "printer_probe_success", "这次探测是否从打印机取得了状态（1 是，0 否）");
    out << "printer_probe_success " << (success ? 1 : 0) << '\n';
    header(out, "printer_probe_duration_seconds", "这次探测所用的秒数");
    out << "printer_probe_duration_seconds " << number(seconds) << '\n';
    out.flush();
    return text.toUtf8();
}

QByteArray buildInfoText()
{
    QString text;
    QTextStream out(&text);
    header(out, "printer_status_exporter_build_info", "导出程序的版本，值恒为 1");
    out << "printer_status_exporter_build_info{" << label("version", QStringLiteral(PSM_VERSION)) << "} 1\n";
    out.flush();
    return text.toUtf8();
}
