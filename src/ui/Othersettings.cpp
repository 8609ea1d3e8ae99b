#include "Othersettings.h"
#include "ui_Othersettings.h"

#include "Log.h"
#include "PrinterRegistry.h"
#include "StoreOperations.h"
#include "UiPrompts.h"

#include <QButtonGroup>

Othersettings::Othersettings(const QString& databasePath, QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::Othersettings)
    , m_databasePath(databasePath)
    , m_trayIcon(this)
{
    ui->setupUi(this);
    m_group = new QButtonGroup(this);
    m_group->addButton(ui->radioButton_Outreachopen);
    m_group->addButton(ui->radioButton_Outreachclose);
    connect(m_group, qOverload<QAbstractButton*>(&QButtonGroup::buttonClicked), this, &Othersettings::setIllegaLcon);
    // The warning uses the agent's own icon when the resource is linked in.
    m_trayIcon.setIcon(QIcon(QStringLiteral(":/InstallMessagePush.png")));
}

Othersettings::~Othersettings()
{
    delete m_detect; // stops the probe before the page goes
    delete ui;
}

void Othersettings::initFromSettings()
{
    const bool on = PrinterRegistry::instance().settings().illegaLcon;
    ui->radioButton_Outreachopen->setChecked(on);
    ui->radioButton_Outreachclose->setChecked(!on);
    m_policy = on ? PolicyOn : PolicyOff;
}

void Othersettings::startNetworkDetect(const ProbeTarget& target)
{
    if (m_detect) {
        return;
    }
    m_detect = new network_detect;
    m_detect->setTarget(target);
    connect(m_detect, &network_detect::send_network_connect_state, this, &Othersettings::update_network_state);
    m_detect->startDetect();
}

void Othersettings::setIllegaLcon(QAbstractButton* button)
{
    if (!button || !button->isChecked()) {
        return;
    }
    const bool on = button->text() == QStringLiteral("开");
    if (on) {
        PSM_LOG << "Illegal outreach open";
    } else if (button->text() == QStringLiteral("关")) {
        PSM_LOG << "Illegal outreach close";
    } else {
        return;
    }
    m_policy = on ? PolicyOn : PolicyOff;
    const SettingsItem item{ QStringLiteral("illegaLcon"), on ? QStringLiteral("true") : QStringLiteral("false"),
                             QStringLiteral("feature") };
    if (addSetting(m_databasePath, item) != 0) {
        PSM_LOG << "save failed" << item.key;
        UiPrompts::message(this, QMessageBox::Warning, QStringLiteral("提示"), QStringLiteral("配置失败！"),
                           QStringLiteral("确定"));
        return;
    }
    PrinterRegistry::instance().settings().illegaLcon = on;
}

void Othersettings::update_network_state(int state)
{
    if (state != 1) {
        return;
    }
    if (m_policy == PolicyOff) {
        m_trayIcon.hide();
        return;
    }
    m_trayIcon.setVisible(true);
    UiPrompts::balloon(m_trayIcon, QStringLiteral("违规外联"), QStringLiteral("打印机违规外联,请断网!"),
                       QSystemTrayIcon::Critical, 3000);
    if (PrinterRegistry::instance().settings().illegaLcon) {
        PSM_LOG << "Network connected 1";
    } else {
        PSM_LOG << "Network connected 2";
    }
}
