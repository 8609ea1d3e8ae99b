#include "channel/ConnectorRegistry.h"

#include "channel/SafeConnector.h"
#include "channel/SocketConnector.h"
#include "channel/UsbConnector.h"
#include "core/HostUtils.h"
#include "core/Log.h"
#include "core/UsbIdentity.h"

#include <QMutexLocker>

ConnectorRegistry& ConnectorRegistry::instance()
{
    static ConnectorRegistry registry;
    return registry;
}

QString ConnectorRegistry::getOrCreate(const QString& id, const std::function<std::shared_ptr<Connector>()>& make)
{
    QMutexLocker locker(&m_mutex);
    if (m_connectors.find(id) == m_connectors.end()) {
        std::shared_ptr<Connector> connector = make();
        if (connector) {
            m_connectors.emplace(id, std::move(connector));
        }
    }
    return id;
}

std::shared_ptr<Connector> ConnectorRegistry::find(const QString& id) const
{
    QMutexLocker locker(&m_mutex);
    const auto it = m_connectors.find(id);
    return it == m_connectors.end() ? nullptr : it->second;
}

void ConnectorRegistry::remove(const QString& id)
{
    std::shared_ptr<Connector> dropped;
    {
        QMutexLocker locker(&m_mutex);
        const auto it = m_connectors.find(id);
        if (it == m_connectors.end()) {
            return;
        }
        dropped = std::move(it->second);
        m_connectors.erase(it);
    }
    // A connector destroyed here closes its transport outside the registry lock.
}

QStringList ConnectorRegistry::ids() const
{
    QMutexLocker locker(&m_mutex);
    QStringList list;
    for (const auto& entry : m_connectors) {
        list.append(entry.first);
    }
    return list;
}

void ConnectorRegistry::clear()
{
    std::map<QString, std::shared_ptr<Connector>> dropped;
    QMutexLocker locker(&m_mutex);
    dropped.swap(m_connectors);
    locker.unlock();
}

namespace
{

// Adds each id to the printer's list unless it is already there.
void recordConnectorIds(PrinterContext& printer, const QString& innerId, const QString& safeId)
{
    QStringList ids = printer.connectorIds();
    for (const QString& id : { innerId, safeId }) {
        if (!ids.contains(id)) {
            ids.append(id);
        }
    }
    printer.setConnectorIds(ids);
}

QString getOrCreateSafe(const QString& innerId)
{
    const QString key = QString::fromLatin1(ChannelKey);
    ConnectorRegistry& registry = ConnectorRegistry::instance();
    const std::shared_ptr<Connector> inner = registry.find(innerId);
    return registry.getOrCreate(SafeConnector::makeId(innerId, key), [&]() -> std::shared_ptr<Connector> {
        return inner ? std::make_shared<SafeConnector>(inner, key) : nullptr;
    });
}

} // namespace

std::shared_ptr<Connector> getManageConnector(const PrinterContextPtr& printer)
{
    if (!printer) {
        return nullptr;
    }
    QMutexLocker printerLock(&printer->mutex());
    ConnectorRegistry& registry = ConnectorRegistry::instance();
    const QString ip = printer->ip();

    if (isValidIPv4(ip)) {
        const QString socketId = registry.getOrCreate(SocketConnector::makeId(ip, ManagementPort), [&]() {
            return std::make_shared<SocketConnector>(ip, ManagementPort);
        });
        const QString safeId = getOrCreateSafe(socketId);
        recordConnectorIds(*printer, socketId, safeId);
        return registry.find(safeId);
    }

    const QString model = printer->model();
    const bool deviceFlag = !model.contains(QLatin1String("TR7200n")) && !model.contains(QLatin1String("TR3200n"));
    const quint16 classA = printer->usbClassA();
    const quint16 classB = printer->usbClassB();
    if (classA == 0 || classB == 0) {
        PSM_LOG << "linux usb connector must has classid";
        return nullptr;
    }

    UsbIdentity identity;
    UsbIdentity::parse(printer->kind() == 1 ? printer->printerName() : ip, identity);
    const QString& vendorId = identity.vendorId;
    const QString& productId = identity.productId;
    const QString& serial = identity.serial;

    const QString usbId
        = registry.getOrCreate(UsbConnector::makeId(vendorId, productId, serial, classA, classB), [&]() {
              return std::make_shared<UsbConnector>(vendorId, productId, serial, classA, classB, deviceFlag);
          });
    const QString safeId = getOrCreateSafe(usbId);
    recordConnectorIds(*printer, usbId, safeId);
    return registry.find(safeId);
}

void resetConnectors(const PrinterContextPtr& printer)
{
    if (!printer) {
        return;
    }
    QMutexLocker printerLock(&printer->mutex());
    ConnectorRegistry& registry = ConnectorRegistry::instance();
    for (const QString& id : printer->connectorIds()) {
        registry.remove(id);
    }
    printer->setConnectorIds({});
}

void cutConnectors(const PrinterContextPtr& printer)
{
    if (!printer) {
        return;
    }
    QMutexLocker printerLock(&printer->mutex());
    ConnectorRegistry& registry = ConnectorRegistry::instance();
    for (const QString& id : printer->connectorIds()) {
        if (const std::shared_ptr<Connector> connector = registry.find(id)) {
            connector->cut();
        }
    }
}
