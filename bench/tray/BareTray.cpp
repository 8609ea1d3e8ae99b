// The least a Qt 5 tray program can be: an application object, a tray icon
// with an icon and a hidden widget. bench/run measures it beside the agent.
#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::darkCyan);
    QSystemTrayIcon tray{ QIcon(pixmap) };
    tray.show();
    QWidget hidden;
    return QApplication::exec();
}
