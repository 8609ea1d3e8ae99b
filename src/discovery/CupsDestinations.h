#ifndef PSM_CUPSDESTINATIONS_H
#define PSM_CUPSDESTINATIONS_H

// A snapshot of the CUPS destinations with the three options the printer
// watcher reads. The header is free of cups.h so that Qt-side code can
// include it.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Option name -> value, always with exactly the keys "device-uri",
// "printer-make-and-model" and "printer-location" (empty when CUPS has no
// value), or empty altogether for a destination that is not listed.
using PrinterOptions = QMap<QString, QString>;

extern const char* const DeviceUriOption;
extern const char* const MakeAndModelOption;
extern const char* const LocationOption;

class CupsDestinationList
{
public:
    // How a listing is obtained from the server named by CUPS_SERVER (or the
    // client configuration).
    enum class Source {
        // One CUPS-Get-Printers request that asks only for the name and the
        // three options.
        PrintersRequest,
        // cupsGetDests: the full destination list (two requests, and a
        // DNS-SD browse when the local server is asked).
        GetDests,
    };

    CupsDestinationList() = default;
    // Never fails: an unreachable server gives an empty list.
    static CupsDestinationList fetch(Source source);

    // Destination names in the order cupsGetDests returns them (sorted
    // without regard to ASCII case). Instances that lpoptions files add to a
    // destination are not listed: they name no queue of their own.
    QStringList names() const { return m_names; }
    // The options of the destination with that name, matched the way
    // cupsGetDest matches (ASCII case ignored); empty for an unknown name.
    PrinterOptions options(const QString& name) const;
    int size() const { return m_names.size(); }

private:
    void add(const QByteArray& name, const PrinterOptions& options);
    void sort();

    QStringList m_names;
    QList<PrinterOptions> m_options;
    QHash<QByteArray, int> m_index; // ASCII-lower-cased UTF-8 name -> position
};

#endif // PSM_CUPSDESTINATIONS_H
