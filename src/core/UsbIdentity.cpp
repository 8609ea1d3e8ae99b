#include "core/UsbIdentity.h"

namespace
{
bool isHexId(const QString& text)
{
    if (text.size() != 4) {
        return false;
    }
    for (const QChar c : text) {
        if (!c.isDigit() && !(c >= QLatin1Char('a') && c <= QLatin1Char('f'))
            && !(c >= QLatin1Char('A') && c <= QLatin1Char('F'))) {
            return false;
        }
    }
    return true;
}
} // namespace

QString UsbIdentity::toString() const
{
    return vendorId + QLatin1Char(':') + productId + QLatin1Char(':') + serial;
}

bool UsbIdentity::parse(const QString& text, UsbIdentity& identity)
{
    identity = UsbIdentity();
    const int first = text.indexOf(QLatin1Char(':'));
    const int second = first < 0 ? -1 : text.indexOf(QLatin1Char(':'), first + 1);
    if (second < 0) {
        return false;
    }
    const QString vendorId = text.left(first);
    const QString productId = text.mid(first + 1, second - first - 1);
    if (!isHexId(vendorId) || !isHexId(productId)) {
        return false;
    }
    identity = UsbIdentity{ vendorId, productId, text.mid(second + 1) };
    return true;
}
