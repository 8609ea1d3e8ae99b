#include "discovery/CupsDestinations.h"

#include <cups/cups.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

const char* const DeviceUriOption = "device-uri";
const char* const MakeAndModelOption = "printer-make-and-model";
const char* const LocationOption = "printer-location";

namespace
{

// libcups compares destination names byte by byte with only ASCII letters
// folded, and with plain (signed) chars, so UTF-8 names sort before ASCII
// ones. cupsd keeps its printers in the same order.
int compareNames(const QByteArray& a, const QByteArray& b)
{
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    const int n = std::min(a.size(), b.size());
    for (int i = 0; i < n; ++i) {
        const signed char x = fold(a.at(i));
        const signed char y = fold(b.at(i));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

QByteArray foldedName(const QByteArray& name)
{
    QByteArray folded = name;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = char(c - 'A' + 'a');
        }
    }
    return folded;
}

PrinterOptions emptyOptions()
{
    PrinterOptions options;
    options.insert(DeviceUriOption, QString());
    options.insert(MakeAndModelOption, QString());
    options.insert(LocationOption, QString());
    return options;
}

// The option text cupsGetDests makes of an attribute: a single text value as
// it is, several values joined by commas with blanks, quotes and backslashes
// escaped.
QString optionText(ipp_attribute_t* attr)
{
    const ipp_tag_t tag = ippGetValueTag(attr);
    const bool numeric = tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM || tag == IPP_TAG_BOOLEAN;
    const int count = ippGetCount(attr);
    if (count == 1 && !numeric) {
        return QString::fromUtf8(ippGetString(attr, 0, nullptr));
    }
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            text += ',';
        }
        if (tag == IPP_TAG_BOOLEAN) {
            text += ippGetBoolean(attr, i) ? "true" : "false";
        } else if (numeric) {
            text += QByteArray::number(ippGetInteger(attr, i));
        } else {
            for (const char* p = ippGetString(attr, i, nullptr); p && *p; ++p) {
                if (std::strchr(" \t\n\\'\"", *p)) {
                    text += '\\';
                }
                text += *p;
            }
        }
    }
    return QString::fromUtf8(text);
}

bool isOptionTag(ipp_tag_t tag)
{
    switch (tag) {
    case IPP_TAG_INTEGER:
    case IPP_TAG_ENUM:
    case IPP_TAG_BOOLEAN:
    case IPP_TAG_TEXT:
    case IPP_TAG_TEXTLANG:
    case IPP_TAG_NAME:
    case IPP_TAG_NAMELANG:
    case IPP_TAG_KEYWORD:
    case IPP_TAG_URI:
        return true;
    default:
        return false;
    }
}

constexpr int ConnectTimeoutMs = 10000;

// A server without any queue answers "not found": that listing worked.
bool requestFailed(ipp_status_t status)
{
    return status >= IPP_STATUS_REDIRECTION_OTHER_SITE && status != IPP_STATUS_ERROR_NOT_FOUND;
}

} // namespace

void CupsCancel::cancel()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_cancelled = true;
    for (int fd : m_fds) {
        ::shutdown(fd, SHUT_RDWR); // a read blocked on the socket returns at once
    }
}

bool CupsCancel::attach(int fd, int& own)
{
    std::lock_guard<std::mutex> lock(m_lock);
    own = -1;
    if (m_cancelled) {
        return false;
    }
    // A descriptor of our own for the socket: libcups may close its own and
    // reconnect on another, and that number may then name anything.
    own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own >= 0) {
        m_fds.push_back(own);
    }
    return true;
}

void CupsCancel::detach(int own)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = std::find(m_fds.begin(), m_fds.end(), own);
    if (it != m_fds.end()) {
        m_fds.erase(it);
        ::close(own);
    }
}

namespace
{

// A connection of its own to the server libcups would use, which another
// thread can cut through CupsCancel.
class Connection
{
public:
    explicit Connection(CupsCancel* cancel)
        : m_http(
            httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, ConnectTimeoutMs, nullptr))
        , m_cancel(cancel)
    {
        if (m_http && m_cancel && !m_cancel->attach(httpGetFd(m_http), m_cancelFd)) {
            httpClose(m_http);
            m_http = nullptr;
        }
    }
    ~Connection()
    {
        if (m_cancelFd >= 0) {
            m_cancel->detach(m_cancelFd);
        }
        httpClose(m_http);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    http_t* http() const { return m_http; }

private:
    http_t* m_http;
    CupsCancel* m_cancel;
    int m_cancelFd = -1;
};

} // namespace

CupsDestinationList CupsDestinationList::fetch(Source source, CupsCancel* cancel)
{
    CupsDestinationList list;
    Connection connection(cancel);
    if (!connection.http()) {
        list.m_error = QStringLiteral("no connection to ") + QString::fromUtf8(cupsServer());
        return list;
    }

    if (source == Source::GetDests) {
        cups_dest_t* dests = nullptr;
        const int count = cupsGetDests2(connection.http(), &dests);
        if (count == 0 && requestFailed(cupsLastError())) {
            list.m_error = QString::fromUtf8(cupsLastErrorString());
            return list;
        }
        for (int i = 0; i < count; ++i) {
            if (dests[i].instance) {
                continue;
            }
            PrinterOptions options = emptyOptions();
            for (const char* key : { DeviceUriOption, MakeAndModelOption, LocationOption }) {
                if (const char* value = cupsGetOption(key, dests[i].num_options, dests[i].options)) {
                    options.insert(key, QString::fromUtf8(value));
                }
            }
            list.add(dests[i].name, options);
        }
        cupsFreeDests(count, dests);
        return list;
    }

    static const char* const requested[] = { "printer-name", DeviceUriOption, MakeAndModelOption, LocationOption };
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(sizeof(requested) / sizeof(requested[0])), nullptr, requested);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ipp_t* response = cupsDoRequest(connection.http(), request, "/"); // frees the request
    if (!response || requestFailed(ippGetStatusCode(response))) {
        list.m_error = QString::fromUtf8(cupsLastErrorString());
        ippDelete(response);
        return list;
    }

    // One printer group after the other; a group without a printer-name
    // (which cupsGetDests would drop as well) is skipped.
    QByteArray name;
    PrinterOptions options = emptyOptions();
    bool inPrinter = false;
    auto finishPrinter = [&]() {
        if (inPrinter && !name.isEmpty()) {
            list.add(name, options);
        }
        name.clear();
        options = emptyOptions();
        inPrinter = false;
    };
    for (ipp_attribute_t* attr = ippFirstAttribute(response); attr; attr = ippNextAttribute(response)) {
        const char* attrName = ippGetName(attr);
        if (ippGetGroupTag(attr) != IPP_TAG_PRINTER || !attrName) {
            finishPrinter(); // a separator or another group ends the printer
            continue;
        }
        inPrinter = true;
        const ipp_tag_t tag = ippGetValueTag(attr);
        if (!std::strcmp(attrName, "printer-name")) {
            if (tag == IPP_TAG_NAME) {
                name = ippGetString(attr, 0, nullptr);
            }
        } else if (isOptionTag(tag)
                   && (!std::strcmp(attrName, DeviceUriOption) || !std::strcmp(attrName, MakeAndModelOption)
                       || !std::strcmp(attrName, LocationOption))) {
            options.insert(attrName, optionText(attr));
        }
    }
    finishPrinter();
    ippDelete(response);

    list.sort();
    return list;
}

PrinterOptions CupsDestinationList::options(const QString& name) const
{
    const auto it = m_index.constFind(foldedName(name.toUtf8()));
    return it == m_index.constEnd() ? PrinterOptions() : m_options.at(it.value());
}

void CupsDestinationList::add(const QByteArray& name, const PrinterOptions& options)
{
    const QByteArray key = foldedName(name);
    if (m_index.contains(key)) {
        return;
    }
    m_index.insert(key, m_names.size());
    m_names.append(QString::fromUtf8(name));
    m_options.append(options);
}

// cupsGetDests sorts what the server sends; cupsd already sends that order,
// so this is cheap and only guards against a server that does not.
void CupsDestinationList::sort()
{
    std::vector<int> order(m_names.size());
    for (int i = 0; i < m_names.size(); ++i) {
        order[i] = i;
    }
    std::vector<QByteArray> utf8;
    utf8.reserve(order.size());
    for (const QString& name : qAsConst(m_names)) {
        utf8.push_back(name.toUtf8());
    }
    if (std::is_sorted(order.begin(), order.end(), [&](int a, int b) { return compareNames(utf8[a], utf8[b]) < 0; })) {
        return;
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return compareNames(utf8[a], utf8[b]) < 0; });
    CupsDestinationList sorted;
    for (int i : order) {
        sorted.add(utf8[i], m_options.at(i));
    }
    *this = std::move(sorted);
}
