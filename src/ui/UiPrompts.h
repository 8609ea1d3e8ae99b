#ifndef PSM_UIPROMPTS_H
#define PSM_UIPROMPTS_H

#include <QMessageBox>
#include <QString>
#include <QSystemTrayIcon>

#include <functional>

// The modal boxes and tray balloons of the windows go through here, so that
// tests can see them without a screen and without blocking on exec().
class UiPrompts
{
public:
    using MessageHandler = std::function<void(QMessageBox::Icon icon, const QString& title, const QString& text,
                                              const QString& buttonText)>;
    using BalloonHandler = std::function<void(QSystemTrayIcon& trayIcon, const QString& title, const QString& text,
                                              QSystemTrayIcon::MessageIcon icon, int msecs)>;

    // An empty handler restores the real box or balloon.
    static void setMessageHandler(MessageHandler handler);
    static void setBalloonHandler(BalloonHandler handler);

    // A modal box with one button, waiting until it is closed.
    static void message(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                        const QString& buttonText);
    static void balloon(QSystemTrayIcon& trayIcon, const QString& title, const QString& text,
                        QSystemTrayIcon::MessageIcon icon, int msecs);
};

#endif // PSM_UIPROMPTS_H
