#ifndef PSM_PRINTAGENTCLIENT_H
#define PSM_PRINTAGENTCLIENT_H

#include "core/MessageRequest.h"
#include "ui/AboutDialog.h"
#include "ui/DesktopNotifier.h"
#include "ui/PrinterList.h"
#include "ui/TrayMessages.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>

class FunctionsetWidget;
class ListenPrinterInfo;
class ListenPrinterStatus;
class NetworkPolicy;
class QAction;
class QMenu;
class QThread;
class Status;

// The tray agent: owns the tray icon and its menu, the monitor window, the
// settings window and the about dialog, runs the status poller and the
// printer watcher on threads of their own and wires them to the windows.
// The windows, which most sessions open seldom or never, are built on first
// use; the printer list the monitor window shows and the network policy the
// settings window switches live here from start-up. Tray messages go to the
// tray or, where no tray shows them, to the desktop's notifications; a
// message clicked opens the monitor window on its printer.
class PrintAgentClient : public QObject
{
    Q_OBJECT

public:
    // How long the destructor waits for each worker thread to finish the
    // work in hand (a poll of an unreachable printer takes a while).
    static constexpr unsigned long WorkerStopWaitMs = 10000;
    // When start-up counts as over and its memory is given back.
    static constexpr int StartupSettledMs = 10000;
    // How long after a window is gone its memory is given back.
    static constexpr int MemoryReleaseDelayMs = 100;
    // How long after the last tray message has gone its memory is given back.
    static constexpr int MessagesSettledMs = 2000;

    explicit PrintAgentClient(QObject* parent = nullptr);
    ~PrintAgentClient() override;

    // The rows of the about dialog.
    static QList<AboutDialog::InfoRow> aboutRows();

    // The monitor window, null until first shown.
    Status* monitorWindow() const { return statusWidget; }
    const PrinterList& printerList() const { return printers; }

public slots:
    void onShowPrinterWidget();
    // The monitor window with this printer selected, its log and toner shown.
    void onShowPrinter(const QString& printerKey);
    void onShowFunctionSetWidget();
    void onShowSystemTray();
    void onHideSystemTray();
    void onSystemTrayShowText(const QString& printer, const QStringList& info, const QString& printerKey = QString());
    void onShowMessageBox(MessageIcon icon, const QString& title, const QString& text, MessageButtons buttons);
    void onAbout();

private:
    Status* ensureMonitorWindow();
    void onMonitorWindowClosed();
    void loadSettings();
    void buildTrayMenu();
    void startPoller();
    void createAboutDialog();
    void startWatcher();

    QSystemTrayIcon trayIcon;
    QMenu* trayMenu = nullptr;
    QAction* monitorAction = nullptr;
    QAction* settingsAction = nullptr;
    DesktopNotifier notifier;
    TrayMessages trayMessages{ trayIcon, &notifier };
    PrinterList printers;
    Status* statusWidget = nullptr;
    QPointer<Status> closingWindow;
    QTimer messagesOver;
    NetworkPolicy* networkPolicy = nullptr;
    FunctionsetWidget* functionSetWidget = nullptr;
    ListenPrinterStatus* poller = nullptr;
    AboutDialog* aboutDialog = nullptr;
    ListenPrinterInfo* watcher = nullptr;
    QThread* pollerThread = nullptr;
    QThread* watcherThread = nullptr;
};

#endif // PSM_PRINTAGENTCLIENT_H
