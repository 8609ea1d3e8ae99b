#include "ui/NetworkPolicy.h"

#include "core/Log.h"
#include "core/PrinterRegistry.h"

NetworkPolicy::NetworkPolicy(const ProbeTarget& target, DesktopNotifier* notifier, QObject* parent)
    : QObject(parent)
    , m_target(target)
    , m_messages(m_trayIcon, notifier)
{
    // The warning uses the agent's own icon when the resource is linked in.
    m_trayIcon.setIcon(QIcon(QStringLiteral(":/InstallMessagePush.png")));
}

NetworkPolicy::~NetworkPolicy()
{
    stopProbe();
}

void NetworkPolicy::setOn(bool on)
{
    m_policy = on ? PolicyOn : PolicyOff;
    if (!on) {
        stopProbe();
        m_trayIcon.hide();
        return;
    }
    if (m_detect) {
        return;
    }
    m_detect = new network_detect;
    m_detect->setTarget(m_target);
    connect(m_detect, &network_detect::send_network_connect_state, this, &NetworkPolicy::update_network_state);
    m_detect->startDetect();
}

void NetworkPolicy::stopProbe()
{
    // The destructor ends the loop at once, even in the middle of a connect.
    delete m_detect;
    m_detect = nullptr;
}

void NetworkPolicy::update_network_state(int state)
{
    if (state != 1) {
        return;
    }
    // A report queued before the check went off.
    if (m_policy == PolicyOff) {
        m_trayIcon.hide();
        return;
    }
    m_trayIcon.setVisible(true);
    // One warning every few seconds: as notifications, each replaces the last.
    m_messages.show(QStringLiteral("违规外联"), QStringLiteral("打印机违规外联,请断网!"), QSystemTrayIcon::Critical,
                    3000, QString(), QStringLiteral("outreach"));
    if (PrinterRegistry::instance().settings().illegaLcon) {
        PSM_LOG << "Network connected 1";
    } else {
        PSM_LOG << "Network connected 2";
    }
}
