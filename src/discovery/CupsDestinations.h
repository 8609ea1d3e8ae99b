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

#include <mutex>
#include <vector>

// Option name -> value, always with exactly the keys "device-uri",
// "printer-make-and-model" and "printer-location" (empty when CUPS has no
// value), or empty altogether for a destination that is not listed.
using PrinterOptions = QMap<QString, QString>;

extern const char* const DeviceUriOption;
extern const char* const MakeAndModelOption;
extern const char* const LocationOption;

// Lets another thread cut listings short: cancel() shuts the sockets of the
// listings under way down, so that a server that takes the request and never
// answers cannot hold the caller; later listings give up at once.
class CupsCancel
{
public:
    void cancel();

    // For the listing: takes a descriptor of its own for the connection's
    // socket (false once cancelled: the listing gives up), and gives it back
    // when the listing is done.
    bool attach(int fd, int& own);
    void detach(int own);

private:
    std::mutex m_lock;
    std::vector<int> m_fds; // of the listings under way
    bool m_cancelled = false;
};

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
    // Never throws: an unreachable server, one that stays silent for a
    // minute, or a listing cancelled from another thread gives an empty list
    // that is not ok(). A server without queues gives an empty list that is.
    static CupsDestinationList fetch(Source source, CupsCancel* cancel = nullptr);

    // False when the server could not be asked or refused the request: the
    // list then says nothing about which queues exist.
    bool ok() const { return m_error.isEmpty(); }
    // Why the listing failed; empty when it worked.
    QString error() const { return m_error; }

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
    QString m_error;
};

#endif // PSM_CUPSDESTINATIONS_H
