#include "ui/UiPrompts.h"

namespace
{
void showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                 const QString& buttonText)
{
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    box.addButton(buttonText, QMessageBox::AcceptRole);
    box.exec();
}

UiPrompts::MessageHandler& messageHandler()
{
    static UiPrompts::MessageHandler handler;
    return handler;
}

UiPrompts::BalloonHandler& balloonHandler()
{
    static UiPrompts::BalloonHandler handler;
    return handler;
}
} // namespace

void UiPrompts::setMessageHandler(MessageHandler handler)
{
    messageHandler() = std::move(handler);
}

void UiPrompts::setBalloonHandler(BalloonHandler handler)
{
    balloonHandler() = std::move(handler);
}

void UiPrompts::message(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                        const QString& buttonText)
{
    if (messageHandler()) {
        messageHandler()(icon, title, text, buttonText);
        return;
    }
    showMessage(parent, icon, title, text, buttonText);
}

void UiPrompts::balloon(QSystemTrayIcon& trayIcon, const QString& title, const QString& text,
                        QSystemTrayIcon::MessageIcon icon, int msecs)
{
    if (balloonHandler()) {
        balloonHandler()(trayIcon, title, text, icon, msecs);
        return;
    }
    trayIcon.showMessage(title, text, icon, msecs);
}
