#ifndef PSM_NETWORKPOLICY_H
#define PSM_NETWORKPOLICY_H

#include "ui/TrayMessages.h"
#include "ui/network_detect.h"

#include <QObject>
#include <QSystemTrayIcon>

// The illegal-outreach check. While it is on, a probe thread tries to reach
// a public host and a tray balloon of its own warns at every success; while
// it is off, nothing is probed at all. Where no tray shows the balloon, the
// warning is a desktop notification, each one in place of the one before. It lives for the whole session,
// independent of the settings page that switches it.
class DesktopNotifier;

class NetworkPolicy : public QObject
{
    Q_OBJECT

public:
    enum Policy { PolicyOn = 0, PolicyOff = 1 };

    // The warning goes to the desktop's notifications through notifier where
    // no tray shows it; without one it is always the icon's balloon.
    explicit NetworkPolicy(const ProbeTarget& target, DesktopNotifier* notifier = nullptr, QObject* parent = nullptr);
    ~NetworkPolicy() override;

    // On starts the probe thread, off stops it and hides the warning.
    void setOn(bool on);
    bool isOn() const { return m_policy == PolicyOn; }
    int policy() const { return m_policy; }
    // The running probe, null while the check is off.
    network_detect* networkDetect() const { return m_detect; }
    const QSystemTrayIcon& warningIcon() const { return m_trayIcon; }

public slots:
    void update_network_state(int state);

private:
    void stopProbe();

    ProbeTarget m_target;
    QSystemTrayIcon m_trayIcon;
    TrayMessages m_messages;
    int m_policy = PolicyOff;
    network_detect* m_detect = nullptr;
};

#endif // PSM_NETWORKPOLICY_H
