#ifndef PSM_TRAYMESSAGES_H
#define PSM_TRAYMESSAGES_H

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class DesktopNotifier;

// Puts a tray icon's messages where the user sees them: as the icon's balloon
// while a tray embeds the icon, otherwise (no tray, or a tray that takes its
// messages as notifications) through the desktop's notification service. The
// way is chosen again for every message, so a panel started, ended or
// restarted while the agent runs changes where the next one goes.
class TrayMessages : public QObject
{
    Q_OBJECT

public:
    enum class Route { Balloon, Notification, Nowhere };

    // Without a notifier every message goes to the icon's balloon.
    TrayMessages(QSystemTrayIcon& icon, DesktopNotifier* notifier, QObject* parent = nullptr);

    // A message about the printer printerKey (empty: about none) leads to it
    // when clicked. A replaceTag shows it in place of the previous message
    // with that tag, where the notification service can.
    void show(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon, int msecs,
              const QString& printerKey = QString(), const QString& replaceTag = QString());
    Route route() const;

signals:
    // A message about this printer was clicked.
    void activated(QString printerKey);

private:
    void onBalloonClicked();
    void noteRoute(Route route);

    QSystemTrayIcon& m_icon;
    DesktopNotifier* m_notifier;
    QString m_balloonPrinter;
    Route m_lastRoute = Route::Balloon;
    bool m_routeLogged = false;
};

#endif // PSM_TRAYMESSAGES_H
