#include "app/PrintAgentClient.h"

#include "channel/UsbDiscovery.h"
#include "core/DataPaths.h"
#include "core/IdleMemory.h"
#include "core/Log.h"
#include "core/ModelTable.h"
#include "core/PrinterRegistry.h"
#include "discovery/ListenPrinterInfo.h"
#include "status/ListenPrinterStatus.h"
#include "store/StoreOperations.h"
#include "ui/FunctionsetWidget.h"
#include "ui/NetworkPolicy.h"
#include "ui/Status.h"
#include "ui/TrayText.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QThread>
#include <QTimer>

PrintAgentClient::PrintAgentClient(QObject* parent)
    : QObject(parent)
{
    // The watcher's message-box request crosses threads with these types.
    qRegisterMetaType<MessageIcon>("MessageIcon");
    qRegisterMetaType<MessageButtons>("MessageButtons");

    initUsb();
    const QString configPath = configFilePath();
    ModelTable::readModels(configPath);
    networkPolicy = new NetworkPolicy(ProbeTarget::readConfig(configPath), &notifier);
    connect(&trayMessages, &TrayMessages::activated, this, &PrintAgentClient::onShowPrinter);
    buildTrayMenu();
    loadSettings();
    startPoller();
    startWatcher();
    // By then start-up is over (the settings read, the first watcher passes
    // and the first poll): what only it touched is given back.
    QTimer::singleShot(StartupSettledMs, this, [] { releaseIdleMemoryInBackground("start-up over,"); });
    // A balloon draws with code and font pages that nothing else touches
    // until the next message, often hours later.
    messagesOver.setSingleShot(true);
    connect(&messagesOver, &QTimer::timeout, this, [] { releaseIdleMemoryInBackground("tray messages over,"); });
}

PrintAgentClient::~PrintAgentClient()
{
    // The workers are deleted on their own threads, which then end: nothing
    // of theirs may still run while the rest of the process is torn down.
    poller->deleteLater();
    watcher->deleteLater();
    pollerThread->quit();
    watcherThread->quit();
    for (QThread* thread : { pollerThread, watcherThread }) {
        if (thread->wait(WorkerStopWaitMs)) {
            delete thread;
        } else {
            PSM_LOG << "worker thread still busy at exit";
        }
    }
    // The event loop is over, so these go at once rather than deferred.
    delete trayMenu;
    delete aboutDialog;
    exitUsb();
    // The settings page refers to the policy, so it goes first; the monitor
    // window is a view over the printer list, which follows as a member.
    delete functionSetWidget;
    delete networkPolicy;
    delete statusWidget;
    delete closingWindow; // closed as the event loop ended
}

void PrintAgentClient::loadSettings()
{
    SettingsRecord& record = PrinterRegistry::instance().settings();
    const int result = FunctionsetWidget::loadSettings(settingsDatabasePath(), record);
    if (result != FunctionsetWidget::LoadOk) {
        // Logged under the settings window's name, where the load used to run.
        ::logLine("FunctionsetWidget") << "settings not loaded, result" << result;
    }
    networkPolicy->setOn(record.illegaLcon);
    // Unreadable settings leave the 违规外联 check at its default: say so once.
    const QString notice = FunctionsetWidget::loadNotice(result, record);
    if (!notice.isEmpty()) {
        PSM_LOG << notice;
        trayMessages.show(QStringLiteral("设置"), notice, QSystemTrayIcon::Warning, 10000);
    }
}

QList<AboutDialog::InfoRow> PrintAgentClient::aboutRows()
{
    return {
        { QStringLiteral("产品名称： "), QStringLiteral("打印机状态监视器 ") },
        { QStringLiteral("产品说明： "), QStringLiteral("支持TR-C3000 TR-M400打印机 ") },
        { QStringLiteral("版本号： "), QStringLiteral("2.5.1-1+0 ") },
        { QStringLiteral("版权： "), QStringLiteral("Copyright © Ostrel，保留所有权利。 ") },
    };
}

void PrintAgentClient::buildTrayMenu()
{
    trayMenu = new QMenu;
    monitorAction = new QAction(QStringLiteral("打印机状态监控"), trayMenu);
    trayMenu->addAction(monitorAction);
    settingsAction = new QAction(QStringLiteral("设置"), trayMenu);
    trayMenu->addAction(settingsAction);
    QAction* aboutAction = new QAction(tr("关于"), trayMenu);
    trayMenu->addAction(aboutAction);
    QAction* quitAction = new QAction(QStringLiteral("退出"), trayMenu);
    trayMenu->addAction(quitAction);

    // The icon goes first: an icon made visible without one only warns.
    trayIcon.setIcon(QIcon(QStringLiteral(":/InstallMessagePush.png")));
    trayIcon.setVisible(true);
    trayIcon.setToolTip(QStringLiteral("打印机状态监视器"));
    trayIcon.setContextMenu(trayMenu);

    connect(settingsAction, &QAction::triggered, this, &PrintAgentClient::onShowFunctionSetWidget);
    connect(monitorAction, &QAction::triggered, this, &PrintAgentClient::onShowPrinterWidget);
    connect(aboutAction, &QAction::triggered, this, &PrintAgentClient::onAbout);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
}

void PrintAgentClient::startPoller()
{
    poller = new ListenPrinterStatus;
    connect(&printers, &PrinterList::sigUpdatePrinterStatus, poller, &ListenPrinterStatus::updatePrinterStatus,
            Qt::QueuedConnection);
    connect(&printers, &PrinterList::systemTrayShowText, this, &PrintAgentClient::onSystemTrayShowText);
    connect(poller, &ListenPrinterStatus::printerStatusChanged, &printers, &PrinterList::onPrinterStatusChanged);

    pollerThread = new QThread;
    connect(pollerThread, &QThread::finished, pollerThread, &QObject::deleteLater);
    poller->moveToThread(pollerThread);
    pollerThread->start(QThread::InheritPriority);
}

Status* PrintAgentClient::ensureMonitorWindow()
{
    if (statusWidget) {
        return statusWidget;
    }
    statusWidget = new Status(printers);
    connect(statusWidget, &Status::sigUpdatePrinterStatus, poller, &ListenPrinterStatus::updatePrinterStatus,
            Qt::QueuedConnection);
    connect(statusWidget, &Status::startListen, poller, &ListenPrinterStatus::startListenPrinterStatus);
    connect(statusWidget, &Status::stopListen, poller, &ListenPrinterStatus::stopListenPrinterStatus);
    connect(statusWidget, &Status::showSystemTray, this, &PrintAgentClient::onShowSystemTray);
    connect(statusWidget, &Status::hideSystemTray, this, &PrintAgentClient::onHideSystemTray);
    connect(statusWidget, &Status::closed, this, &PrintAgentClient::onMonitorWindowClosed);
    return statusWidget;
}

void PrintAgentClient::onMonitorWindowClosed()
{
    // Rebuilt in a few milliseconds from the list and the records when next
    // opened; kept, its widgets and drawing buffer would hold about 1.6 MiB
    // for a window most sessions look at once.
    closingWindow = statusWidget;
    statusWidget->deleteLater();
    statusWidget = nullptr;
    QTimer::singleShot(MemoryReleaseDelayMs, this, [] { releaseIdleMemoryInBackground("monitor window closed,"); });
}

void PrintAgentClient::createAboutDialog()
{
    aboutDialog = new AboutDialog;
    aboutDialog->setWindowTitle(QStringLiteral("关于"));
    aboutDialog->setInfo(aboutRows());
}

void PrintAgentClient::startWatcher()
{
    // The first pass may announce printers at once: its thread starts only
    // once the announcements are connected.
    ListenPrinterInfo::Options options;
    options.startThread = false;
    watcher = new ListenPrinterInfo(options);
    connect(watcher, &ListenPrinterInfo::sigAddPrinter, &printers, &PrinterList::onAddPrinter, Qt::QueuedConnection);
    connect(watcher, &ListenPrinterInfo::sigAddUSBPrinter, &printers, &PrinterList::onAddUSBPrinter,
            Qt::QueuedConnection);
    connect(watcher, &ListenPrinterInfo::sigRemovePrinter, &printers, &PrinterList::onRemovePrinter,
            Qt::QueuedConnection);
    connect(watcher, &ListenPrinterInfo::sigShowMessageBox, this, &PrintAgentClient::onShowMessageBox,
            Qt::BlockingQueuedConnection);

    watcherThread = new QThread;
    connect(watcherThread, &QThread::finished, watcherThread, &QObject::deleteLater);
    watcher->moveToThread(watcherThread);
    watcherThread->start(QThread::InheritPriority);
    watcher->start();
}

void PrintAgentClient::onShowPrinterWidget()
{
    Status* window = ensureMonitorWindow();
    // Brought back from wherever it is: minimised, behind other windows.
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

void PrintAgentClient::onShowPrinter(const QString& printerKey)
{
    PSM_LOG << "show printer" << printerKey;
    // A printer removed since its message came: the window all the same.
    if (!ensureMonitorWindow()->showPrinter(printerKey)) {
        PSM_LOG << "printer is not listed" << printerKey;
    }
    onShowPrinterWidget();
}

void PrintAgentClient::onShowFunctionSetWidget()
{
    if (!functionSetWidget) {
        functionSetWidget = new FunctionsetWidget(settingsDatabasePath(), *networkPolicy);
    }
    functionSetWidget->setWindowState((functionSetWidget->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    functionSetWidget->show();
    functionSetWidget->activateWindow();
}

void PrintAgentClient::onShowSystemTray()
{
    if (!trayIcon.isVisible()) {
        trayIcon.show();
    }
}

void PrintAgentClient::onHideSystemTray()
{
    if (trayIcon.isVisible()) {
        trayIcon.hide();
    }
}

void PrintAgentClient::onSystemTrayShowText(const QString& printer, const QStringList& info, const QString& printerKey)
{
    // Tray messages vanish after a few seconds and a desktop may have
    // nothing to show them with: the log keeps what the user was told.
    PSM_LOG << printer << info;
    constexpr int shownMs = 3000;
    trayMessages.show(QStringLiteral("消息提示"), trayBalloonText(printer, info), QSystemTrayIcon::Information, shownMs,
                      printerKey);
    messagesOver.start(shownMs + MessagesSettledMs);
}

namespace
{
QMessageBox::Icon widgetIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::Critical:
        return QMessageBox::Critical;
    case MessageIcon::Question:
        return QMessageBox::Question;
    case MessageIcon::NoIcon:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons widgetButtons(MessageButtons buttons)
{
    switch (buttons) {
    case MessageButtons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case MessageButtons::Ok:
        break;
    }
    return QMessageBox::Ok;
}
} // namespace

void PrintAgentClient::onShowMessageBox(MessageIcon icon, const QString& title, const QString& text,
                                        MessageButtons buttons)
{
    QMessageBox box(widgetIcon(icon), title, text, widgetButtons(buttons));
    box.exec();
}

void PrintAgentClient::onAbout()
{
    if (!aboutDialog) {
        createAboutDialog();
    }
    aboutDialog->show();
    aboutDialog->activateWindow();
}
