#ifndef PSM_CONNECTORREGISTRY_H
#define PSM_CONNECTORREGISTRY_H

#include "channel/Connector.h"
#include "core/PrinterContext.h"

#include <QMutex>
#include <QStringList>

#include <functional>
#include <map>

// Every connector built in the process, by connector id, so that all callers
// asking for the same printer share one connector and therefore one usage
// lock. Entries are never replaced, only removed by resetConnectors.
class ConnectorRegistry
{
public:
    static ConnectorRegistry& instance();

    // Returns id; builds the connector with make() only when id is unknown
    // (make() runs under the registry lock and must not call back into it).
    QString getOrCreate(const QString& id, const std::function<std::shared_ptr<Connector>()>& make);
    std::shared_ptr<Connector> find(const QString& id) const;
    void remove(const QString& id);
    QStringList ids() const;
    void clear();

private:
    ConnectorRegistry() = default;
    Q_DISABLE_COPY(ConnectorRegistry)

    mutable QMutex m_mutex;
    std::map<QString, std::shared_ptr<Connector>> m_connectors;
};

// The printer's enciphered management connector, or null: TCP port 9202 for
// a printer whose ip is an IPv4 address, otherwise the USB link named by its
// USB identity (which needs both USB class values).
std::shared_ptr<Connector> getManageConnector(const PrinterContextPtr& printer);

// Drops the printer's connectors from the registry so that the next call
// builds new ones.
void resetConnectors(const PrinterContextPtr& printer);

// Cuts the printer's connectors (Connector::cut) from any thread: a call in
// flight on them fails at once. For a stopping owner; the connectors stay
// registered until the failed call resets them.
void cutConnectors(const PrinterContextPtr& printer);

constexpr int ManagementPort = 9202;

#endif // PSM_CONNECTORREGISTRY_H
