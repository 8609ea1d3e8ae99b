#ifndef PSM_PRINTAGENTCLIENT_H
#define PSM_PRINTAGENTCLIENT_H

#include "core/MessageRequest.h"
#include "ui/AboutDialog.h"
#include "ui/Status.h"

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QSystemTrayIcon>

class FunctionsetWidget;
class ListenPrinterInfo;
class ListenPrinterStatus;
class NetworkPolicy;
class QAction;
class QMenu;
class QThread;

// The tray agent: owns the tray icon and its menu, the monitor window, the
// settings window and the about dialog, runs the status poller and the
// printer watcher on threads of their own and wires them to the windows.
// The settings window and the about dialog, which most sessions never open,
// are built on first use; the network policy, which the settings window only
// shows and switches, lives here from start-up.
class PrintAgentClient : public QObject
{
    Q_OBJECT

public:
    // How long the destructor waits for each worker thread to finish the
    // work in hand (a poll of an unreachable printer takes a while).
    static constexpr unsigned long WorkerStopWaitMs = 10000;

    explicit PrintAgentClient(QObject* parent = nullptr);
    ~PrintAgentClient() override;

    // The rows of the about dialog.
    static QList<AboutDialog::InfoRow> aboutRows();

public slots:
    void onShowPrinterWidget();
    void onShowFunctionSetWidget();
    void onShowSystemTray();
    void onHideSystemTray();
    void onSystemTrayShowText(const QString& printer, const QStringList& info);
    void onShowMessageBox(MessageIcon icon, const QString& title, const QString& text, MessageButtons buttons);
    void onAbout();

private:
    void loadSettings();
    void buildTrayMenu();
    void startPoller();
    void createAboutDialog();
    void startWatcher();

    QSystemTrayIcon trayIcon;
    QMenu* trayMenu = nullptr;
    QAction* monitorAction = nullptr;
    QAction* settingsAction = nullptr;
    Status statusWidget;
    NetworkPolicy* networkPolicy = nullptr;
    FunctionsetWidget* functionSetWidget = nullptr;
    ListenPrinterStatus* poller = nullptr;
    AboutDialog* aboutDialog = nullptr;
    ListenPrinterInfo* watcher = nullptr;
    QThread* pollerThread = nullptr;
    QThread* watcherThread = nullptr;
};

#endif // PSM_PRINTAGENTCLIENT_H
