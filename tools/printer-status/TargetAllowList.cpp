#include "TargetAllowList.h"

#include "core/HostUtils.h"

#include <QJsonArray>
#include <QStringList>

namespace
{
// Four octets 0 to 255 without leading zeros (a network may end in .0 or .255).
bool parseQuad(const QString& text, quint32* value)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (!isDottedQuad(text)) {
        return false;
    }
    quint32 result = 0;
    for (const QString& part : parts) {
        const uint octet = part.toUInt();
        if (octet > 255 || (part.size() > 1 && part.startsWith(QLatin1Char('0')))) {
            return false;
        }
        result = (result << 8) | octet;
    }
    *value = result;
    return true;
}

bool parseNetwork(const QString& text, QPair<quint32, quint32>* network)
{
    const int slash = text.indexOf(QLatin1Char('/'));
    if (slash < 0) {
        return false;
    }
    bool ok = false;
    const QString lengthText = text.mid(slash + 1);
    const uint length = lengthText.toUInt(&ok, 10);
    quint32 address = 0;
    if (!ok || length > 32 || lengthText.startsWith(QLatin1Char('+')) || !parseQuad(text.left(slash), &address)) {
        return false;
    }
    const quint32 mask = length == 0 ? 0 : ~quint32(0) << (32 - length);
    // 10.1.2.0/16 is refused rather than guessed at: was 10.1.2.0/24 meant?
    if ((address & ~mask) != 0) {
        return false;
    }
    *network = qMakePair(address, mask);
    return true;
}
} // namespace

bool TargetAllowList::read(const QJsonValue& value, QString* error)
{
    m_networks.clear();
    m_configured = !value.isUndefined();
    if (!m_configured) {
        return true;
    }
    if (!value.isArray()) {
        *error = QStringLiteral("exporterTargets 应为 IPv4 网络（CIDR）的列表");
        return false;
    }
    for (const QJsonValue& entry : value.toArray()) {
        QPair<quint32, quint32> network;
        if (!entry.isString() || !parseNetwork(entry.toString(), &network)) {
            *error = QStringLiteral("exporterTargets 中的条目不是 IPv4 网络（如 10.1.0.0/16）：")
                + (entry.isString() ? entry.toString() : QStringLiteral("非文本"));
            return false;
        }
        m_networks.append(network);
    }
    return true;
}

bool TargetAllowList::contains(quint32 address) const
{
    for (const auto& network : m_networks) {
        if ((address & network.second) == network.first) {
            return true;
        }
    }
    return false;
}

bool TargetAllowList::parseAddress(const QString& text, quint32* address)
{
    return isValidIPv4(text) && parseQuad(text, address);
}

bool TargetAllowList::parseDotted(const QString& text, quint32* address)
{
    return parseQuad(text, address);
}
