#ifndef PSM_PRINTERSIMSERVER_H
#define PSM_PRINTERSIMSERVER_H

#include "SimPrinter.h"
#include "SimScenario.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QTcpServer;
class QTcpSocket;
class QTimer;
struct SimOutput;

// Serves the printers of a scenario over TCP, each on its own address.
// Lives on one thread with an event loop; every method except printer()
// must be called on that thread.
class PrinterSimServer : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultPort = 9202;

    explicit PrinterSimServer(int defaultPort = DefaultPort, QObject* parent = nullptr);
    ~PrinterSimServer() override;

    // Replaces the scenario: printers that stay keep their state counters
    // and listeners; new ones start listening, removed ones stop.
    bool setScenario(const QByteArray& json, QString* error = nullptr);
    // Loads the file now and again whenever its contents change.
    bool watchScenarioFile(const QString& path, QString* error = nullptr);

    // The printer at address (and port, 0 = the default); thread-safe.
    std::shared_ptr<SimPrinter> printer(const QString& address, int port = 0) const;
    // "address:port" of every printer that is listening.
    QStringList listening() const;
    // Listen failures of the last scenario change.
    QStringList lastErrors() const { return m_errors; }

    void setVerbose(bool verbose) { m_verbose = verbose; }

signals:
    void scenarioApplied();

private:
    struct Endpoint {
        std::shared_ptr<SimPrinter> printer;
        QTcpServer* server = nullptr;
    };

    QString endpointKey(const SimPrinterConfig& config) const;
    void applyScenario(const SimScenario& scenario);
    void updateListener(const QString& key, Endpoint& endpoint);
    void onNewConnection(QTcpServer* server, const std::shared_ptr<SimPrinter>& printer);
    void send(QTcpSocket* socket, const SimOutput& output);
    void pollScenarioFile();
    void note(const QString& text) const;

    int m_defaultPort;
    bool m_verbose = false;
    mutable QMutex m_mutex; // guards m_endpoints for printer()
    QMap<QString, Endpoint> m_endpoints;
    QStringList m_errors;
    QString m_scenarioPath;
    QByteArray m_scenarioBytes;
    QTimer* m_watchTimer = nullptr;
};

#endif // PSM_PRINTERSIMSERVER_H
