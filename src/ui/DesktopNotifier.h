#ifndef PSM_DESKTOPNOTIFIER_H
#define PSM_DESKTOPNOTIFIER_H

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class OrgFreedesktopNotificationsInterface;
class QDBusServiceWatcher;

// Shows messages through the desktop's notification service
// (org.freedesktop.Notifications on the session bus), for desktops where no
// tray shows the agent's balloons. Every call is asynchronous: a notification
// service that is slow or hung never holds up the GUI thread. A message about
// a printer carries a default action, and invoking it asks for that printer.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    enum class Urgency { Low = 0, Normal = 1, Critical = 2 };
    struct Message {
        QString title;
        QString body;
        Urgency urgency = Urgency::Normal;
        int timeoutMs = -1;
        // The printer the message is about; empty for none.
        QString printerKey;
        // A message in place of the previous one of the same tag, for a warning
        // that repeats every few seconds; empty: a notification of its own.
        QString replaceTag;
    };

    // How long a call may take before it counts as failed.
    static constexpr int CallTimeoutMs = 5000;
    // Messages waiting for the service's capabilities at most; older ones go.
    static constexpr int MaxWaiting = 16;
    // Notifications whose action is remembered at most.
    static constexpr int MaxRemembered = 256;

    explicit DesktopNotifier(QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // False when there is no session bus to reach a notification service on.
    bool busConnected() const;
    void notify(const Message& message);

signals:
    // The user invoked the default action of a message about this printer.
    void activated(QString printerKey);

private:
    void askCapabilities();
    void send(const Message& message);
    void remember(uint id, const Message& message);
    void noteFailure(const QString& error);
    void forgetService();
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

    OrgFreedesktopNotificationsInterface* m_service = nullptr;
    QDBusServiceWatcher* m_watcher = nullptr;
    enum class Capabilities { Unknown, Asked, Known } m_capabilities = Capabilities::Unknown;
    bool m_bodyMarkup = false;
    bool m_failing = false;
    QList<Message> m_waiting;
    QHash<uint, QString> m_printerOf; // notification id → printer key
    QList<uint> m_order; // the remembered ids, oldest first
    QHash<QString, uint> m_tagged; // replace tag → notification id
};

#endif // PSM_DESKTOPNOTIFIER_H
