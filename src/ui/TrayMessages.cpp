#include "ui/TrayMessages.h"

#include "core/Log.h"
#include "ui/DesktopNotifier.h"
#include "ui/UiPrompts.h"

namespace
{
DesktopNotifier::Urgency urgencyOf(QSystemTrayIcon::MessageIcon icon)
{
    return icon == QSystemTrayIcon::Critical ? DesktopNotifier::Urgency::Critical : DesktopNotifier::Urgency::Normal;
}
} // namespace

TrayMessages::TrayMessages(QSystemTrayIcon& icon, DesktopNotifier* notifier, QObject* parent)
    : QObject(parent)
    , m_icon(icon)
    , m_notifier(notifier)
{
    connect(&m_icon, &QSystemTrayIcon::messageClicked, this, &TrayMessages::onBalloonClicked);
    if (m_notifier) {
        connect(m_notifier, &DesktopNotifier::activated, this, &TrayMessages::activated);
    }
}

TrayMessages::Route TrayMessages::route() const
{
    // Only an icon embedded in a tray has a place on screen: on a desktop
    // without a tray, and where the tray takes icons over D-Bus
    // (StatusNotifierItem, whose messages are notifications anyway), it has
    // none.
    if (!m_notifier || (m_icon.isVisible() && m_icon.geometry().isValid())) {
        return Route::Balloon;
    }
    return m_notifier->busConnected() ? Route::Notification : Route::Nowhere;
}

void TrayMessages::show(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon, int msecs,
                        const QString& printerKey, const QString& replaceTag)
{
    const Route way = route();
    noteRoute(way);
    switch (way) {
    case Route::Balloon:
        m_balloonPrinter = printerKey;
        UiPrompts::balloon(m_icon, title, text, icon, msecs);
        break;
    case Route::Notification:
        m_balloonPrinter.clear();
        m_notifier->notify({ title, text, urgencyOf(icon), msecs, printerKey, replaceTag });
        break;
    case Route::Nowhere:
        break;
    }
}

void TrayMessages::noteRoute(Route route)
{
    if (m_routeLogged && route == m_lastRoute) {
        return;
    }
    m_routeLogged = true;
    m_lastRoute = route;
    switch (route) {
    case Route::Balloon:
        PSM_LOG << "messages go to the tray";
        break;
    case Route::Notification:
        PSM_LOG << "no tray shows the agent's balloons: messages go to the desktop's notifications";
        break;
    case Route::Nowhere:
        PSM_LOG << "messages cannot be shown: no system tray and no session bus";
        break;
    }
}

void TrayMessages::onBalloonClicked()
{
    // Qt's StatusNotifierItem icon reports any notification's action as a
    // click, so only a balloon of ours counts.
    if (m_lastRoute == Route::Balloon && !m_balloonPrinter.isEmpty()) {
        emit activated(m_balloonPrinter);
    }
}
