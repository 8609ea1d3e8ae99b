#include "CupsProbe.h"

#include <cups/cups.h>

CupsServerState probeCupsServer(int timeoutMs)
{
    int cancel = 0;
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, timeoutMs, &cancel);
    if (!http) {
        return CupsServerState::NotRunning;
    }
    // Without a time-out callback a wait that runs out fails the request.
    httpSetTimeout(http, timeoutMs / 1000.0, nullptr, nullptr);
    ipp_t* response = cupsDoRequest(http, ippNewRequest(IPP_OP_CUPS_GET_DEFAULT), "/");
    const bool answered = response != nullptr || cupsLastError() < IPP_STATUS_ERROR_INTERNAL;
    ippDelete(response);
    httpClose(http);
    return answered ? CupsServerState::Answers : CupsServerState::NoAnswer;
}

QString cupsServerName()
{
    const QString server = QString::fromLocal8Bit(cupsServer());
    // A local socket is named by its path, a host by host and port.
    return server.startsWith(QLatin1Char('/')) ? server : server + QLatin1Char(':') + QString::number(ippPort());
}
