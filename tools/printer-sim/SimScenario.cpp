#include "SimScenario.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace
{

const QList<QPair<QString, SimFault>>& faultNames()
{
    static const QList<QPair<QString, SimFault>> names{
        { QStringLiteral("none"), SimFault::None },
        { QStringLiteral("refuse"), SimFault::Refuse },
        { QStringLiteral("silent"), SimFault::Silent },
        { QStringLiteral("delay"), SimFault::Delay },
        { QStringLiteral("closeMidFrame"), SimFault::CloseMidFrame },
        { QStringLiteral("garbage"), SimFault::Garbage },
        { QStringLiteral("oversized"), SimFault::Oversized },
        { QStringLiteral("dribble"), SimFault::Dribble },
        { QStringLiteral("badToken"), SimFault::BadToken },
    };
    return names;
}

bool fail(QString* error, const QString& text)
{
    if (error) {
        *error = text;
    }
    return false;
}

} // namespace

QString faultName(SimFault fault)
{
    for (const auto& entry : faultNames()) {
        if (entry.second == fault) {
            return entry.first;
        }
    }
    return QString();
}

bool parseScenario(const QByteArray& json, SimScenario& scenario, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return fail(error,
                    QStringLiteral("scenario is not JSON: %1 at offset %2")
                        .arg(parseError.errorString())
                        .arg(parseError.offset));
    }
    const QJsonValue printers = document.object().value(QStringLiteral("printers"));
    if (!document.isObject() || !printers.isArray()) {
        return fail(error, QStringLiteral("scenario needs an object with a \"printers\" array"));
    }

    SimScenario parsed;
    QSet<QString> endpoints;
    int index = 0;
    for (const QJsonValue& value : printers.toArray()) {
        const QString where = QStringLiteral("printers[%1]").arg(index++);
        if (!value.isObject()) {
            return fail(error, where + QStringLiteral(" is not an object"));
        }
        const QJsonObject o = value.toObject();
        SimPrinterConfig p;
        p.address = o.value(QStringLiteral("address")).toString();
        QHostAddress address;
        if (!address.setAddress(p.address) || address.protocol() != QAbstractSocket::IPv4Protocol) {
            return fail(error, where + QStringLiteral(": \"address\" must be an IPv4 address"));
        }
        p.port = o.value(QStringLiteral("port")).toInt(0);
        if (p.port < 0 || p.port > 65535) {
            return fail(error, where + QStringLiteral(": \"port\" out of range"));
        }
        const QString endpoint = p.address + QLatin1Char(':') + QString::number(p.port);
        if (endpoints.contains(endpoint)) {
            return fail(error, where + QStringLiteral(": address used twice"));
        }
        endpoints.insert(endpoint);

        p.model = o.value(QStringLiteral("model")).toString(QStringLiteral("TR-M400"));
        p.deviceId = o.value(QStringLiteral("deviceId")).toString(QStringLiteral("SIM-") + p.address);
        p.mac = o.value(QStringLiteral("mac")).toString(QStringLiteral("00:11:22:33:44:55"));
        p.state = o.value(QStringLiteral("state")).toInt(0);
        for (const QJsonValue& flag : o.value(QStringLiteral("flags")).toArray()) {
            p.flags.append(flag.toInt());
        }
        p.detail = o.value(QStringLiteral("detail")).toString();
        p.toners = o.value(QStringLiteral("toners")).toArray();
        p.loginResult = o.value(QStringLiteral("loginResult")).toInt(0);
        p.password = o.value(QStringLiteral("password")).toString();
        const QJsonObject versions = o.value(QStringLiteral("versions")).toObject();
        p.versionFirmware = versions.value(QStringLiteral("firmware")).toString(p.versionFirmware);
        p.versionEngine = versions.value(QStringLiteral("engine")).toString(p.versionEngine);
        p.versionProtocol = versions.value(QStringLiteral("protocol")).toString(p.versionProtocol);

        const QString fault = o.value(QStringLiteral("fault")).toString(QStringLiteral("none"));
        bool known = false;
        for (const auto& entry : faultNames()) {
            if (entry.first == fault) {
                p.fault = entry.second;
                known = true;
            }
        }
        if (!known) {
            return fail(error, where + QStringLiteral(": unknown fault \"%1\"").arg(fault));
        }
        p.delayMs = o.value(QStringLiteral("delayMs")).toInt(p.delayMs);
        if (p.delayMs < 0) {
            return fail(error, where + QStringLiteral(": \"delayMs\" must not be negative"));
        }
        for (const QJsonValue& method : o.value(QStringLiteral("faultMethods")).toArray()) {
            p.faultMethods.append(method.toString());
        }
        parsed.printers.append(p);
    }
    scenario = parsed;
    return true;
}
