#ifndef PSM_USBIDENTITY_H
#define PSM_USBIDENTITY_H

#include <QString>

// The registry key of a USB printer: vendor id, ":", product id, ":", serial
// number, the ids as four lower-case hexadecimal digits. The serial number is
// everything after the second colon, so it may itself contain ":".
struct UsbIdentity {
    QString vendorId;
    QString productId;
    QString serial;

    QString toString() const;
    // False for a text that is not "VVVV:PPPP:serial" with hexadecimal ids
    // (a CUPS queue name, say); the fields are then empty.
    static bool parse(const QString& text, UsbIdentity& identity);
};

#endif // PSM_USBIDENTITY_H
