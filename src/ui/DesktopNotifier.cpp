#include "ui/DesktopNotifier.h"

#include "core/Log.h"
#include "notifications_interface.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

namespace
{
const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString ObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString DefaultAction = QStringLiteral("default");
} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    // A generated client: no introspection round trip, and its calls return
    // pending replies instead of waiting.
    m_service = new OrgFreedesktopNotificationsInterface(Service, ObjectPath, bus, this);
    m_service->setTimeout(CallTimeoutMs);
    connect(m_service, &OrgFreedesktopNotificationsInterface::ActionInvoked, this, &DesktopNotifier::onActionInvoked);
    connect(m_service, &OrgFreedesktopNotificationsInterface::NotificationClosed, this,
            &DesktopNotifier::onNotificationClosed);
    // A service that ends or is replaced forgets its notifications, and the
    // next one may render differently.
    m_watcher = new QDBusServiceWatcher(Service, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &DesktopNotifier::forgetService);
}

DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::busConnected() const
{
    return m_service != nullptr && m_service->connection().isConnected();
}

void DesktopNotifier::notify(const Message& message)
{
    if (!busConnected()) {
        noteFailure(QStringLiteral("no session bus"));
        return;
    }
    if (m_capabilities == Capabilities::Known) {
        send(message);
        return;
    }
    // Whether the body is read as markup decides how it is written: the
    // first message waits for the service's answer.
    if (m_waiting.size() >= MaxWaiting) {
        m_waiting.removeFirst();
    }
    m_waiting.append(message);
    askCapabilities();
}

void DesktopNotifier::askCapabilities()
{
    if (m_capabilities == Capabilities::Asked) {
        return;
    }
    m_capabilities = Capabilities::Asked;
    auto* call = new QDBusPendingCallWatcher(m_service->GetCapabilities(), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<QStringList> reply = *finished;
        if (reply.isError()) {
            m_capabilities = Capabilities::Unknown;
            m_waiting.clear();
            noteFailure(reply.error().name());
            return;
        }
        m_capabilities = Capabilities::Known;
        m_bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
        const QList<Message> waiting = m_waiting;
        m_waiting.clear();
        for (const Message& message : waiting) {
            send(message);
        }
    });
}

void DesktopNotifier::send(const Message& message)
{
    QString body = message.body;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (m_bodyMarkup) {
        // Printers' texts are shown as they are, never read as markup.
        body = body.toHtmlEscaped();
    }
    QStringList actions;
    if (!message.printerKey.isEmpty()) {
        actions << DefaultAction << QStringLiteral("查看");
    }
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(message.urgency)));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("printer-status-monitor"));
    const uint replaces = message.replaceTag.isEmpty() ? 0 : m_tagged.value(message.replaceTag);

    auto* call = new QDBusPendingCallWatcher(m_service->Notify(QStringLiteral("打印机状态监视器"), replaces,
                                                               QStringLiteral("printer-status-monitor"), message.title,
                                                               body, actions, hints, message.timeoutMs),
                                             this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, message](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isError()) {
            noteFailure(reply.error().name() + QLatin1Char(' ') + reply.error().message());
            return;
        }
        if (m_failing) {
            m_failing = false;
            PSM_LOG << "notifications are shown again";
        }
        remember(reply.value(), message);
    });
}

void DesktopNotifier::remember(uint id, const Message& message)
{
    if (!message.replaceTag.isEmpty()) {
        m_tagged.insert(message.replaceTag, id);
    }
    if (message.printerKey.isEmpty() || m_printerOf.contains(id)) {
        return;
    }
    // A service that never says a notification closed must not make this grow.
    if (m_order.size() >= MaxRemembered) {
        m_printerOf.remove(m_order.takeFirst());
    }
    m_printerOf.insert(id, message.printerKey);
    m_order.append(id);
}

void DesktopNotifier::noteFailure(const QString& error)
{
    // Once per outage: a message every minute must not flood the log.
    if (!m_failing) {
        m_failing = true;
        PSM_LOG << "notification not shown:" << error;
    }
}

void DesktopNotifier::forgetService()
{
    m_capabilities = Capabilities::Unknown;
    m_printerOf.clear();
    m_order.clear();
    m_tagged.clear();
}

void DesktopNotifier::onActionInvoked(uint id, const QString& actionKey)
{
    // Every client hears every action: only ours count.
    const QString printerKey = m_printerOf.value(id);
    if (actionKey == DefaultAction && !printerKey.isEmpty()) {
        emit activated(printerKey);
    }
}

void DesktopNotifier::onNotificationClosed(uint id, uint)
{
    if (m_printerOf.remove(id) > 0) {
        m_order.removeOne(id);
    }
    for (auto it = m_tagged.begin(); it != m_tagged.end(); ++it) {
        if (it.value() == id) {
            m_tagged.erase(it);
            break;
        }
    }
}
