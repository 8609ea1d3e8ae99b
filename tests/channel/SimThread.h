#ifndef PSM_TEST_SIMTHREAD_H
#define PSM_TEST_SIMTHREAD_H

#include "PrinterSimServer.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

// The simulated printer served from a thread of the test process, so that a
// test can make blocking calls against it and read its counters.
class SimThread
{
public:
    SimThread()
        : m_server(new PrinterSimServer(PrinterSimServer::DefaultPort))
    {
        m_server->moveToThread(&m_thread);
        m_thread.start();
    }

    ~SimThread()
    {
        PrinterSimServer* server = m_server;
        QMetaObject::invokeMethod(
            server, [server]() { delete server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    // Every printer of the list, each an object as in a scenario file.
    bool load(const QList<QJsonObject>& printers)
    {
        QJsonArray array;
        for (const QJsonObject& printer : printers) {
            array.append(printer);
        }
        const QByteArray json = QJsonDocument(QJsonObject{ { QStringLiteral("printers"), array } }).toJson();
        bool ok = false;
        QString error;
        QMetaObject::invokeMethod(
            m_server,
            [&]() {
                ok = m_server->setScenario(json, &error);
                if (ok && !m_server->lastErrors().isEmpty()) {
                    ok = false;
                    error = m_server->lastErrors().join(QLatin1Char('\n'));
                }
            },
            Qt::BlockingQueuedConnection);
        if (!ok) {
            qWarning() << "scenario rejected:" << error;
        }
        return ok;
    }

    std::shared_ptr<SimPrinter> printer(const QString& address) const { return m_server->printer(address); }

private:
    QThread m_thread;
    PrinterSimServer* m_server;
};

#endif // PSM_TEST_SIMTHREAD_H
