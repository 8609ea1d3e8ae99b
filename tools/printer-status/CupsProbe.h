#ifndef PSM_CUPSPROBE_H
#define PSM_CUPSPROBE_H

#include <QString>

// Whether the print server answers a request in time. Discovery itself asks
// with libcups' default waits (a minute per request), so a server that
// accepts connections but never answers is found out here first.
enum class CupsServerState { Answers, NotRunning, NoAnswer };

CupsServerState probeCupsServer(int timeoutMs);

// The server libcups talks to (CUPS_SERVER, client.conf or the default).
QString cupsServerName();

#endif // PSM_CUPSPROBE_H
