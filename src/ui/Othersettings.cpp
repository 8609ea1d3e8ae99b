#include "ui/Othersettings.h"
#include "ui_Othersettings.h"

#include "core/Log.h"
#include "core/PrinterRegistry.h"
#include "core/SettingsRecord.h"
#include "store/StoreOperations.h"
#include "ui/NetworkPolicy.h"
#include "ui/UiPrompts.h"

#include <QButtonGroup>

Othersettings::Othersettings(const QString& databasePath, NetworkPolicy& policy, QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::Othersettings)
    , m_databasePath(databasePath)
    , m_policy(policy)
{
    ui->setupUi(this);
    m_group = new QButtonGroup(this);
    m_group->addButton(ui->radioButton_Outreachopen);
    m_group->addButton(ui->radioButton_Outreachclose);
    connect(m_group, qOverload<QAbstractButton*>(&QButtonGroup::buttonClicked), this, &Othersettings::setIllegaLcon);
}

Othersettings::~Othersettings()
{
    delete ui;
}

void Othersettings::initFromSettings()
{
    const bool on = m_policy.isOn();
    ui->radioButton_Outreachopen->setChecked(on);
    ui->radioButton_Outreachclose->setChecked(!on);
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
    m_policy.setOn(on);
    const SettingsItem item{ QString::fromLatin1(IllegaLconKey), on ? QStringLiteral("true") : QStringLiteral("false"),
                             QStringLiteral("feature") };
    if (addSetting(m_databasePath, item) != 0) {
        PSM_LOG << "save failed" << item.key;
        UiPrompts::message(this, QMessageBox::Warning, QStringLiteral("提示"), QStringLiteral("配置失败！"),
                           QStringLiteral("确定"));
        return;
    }
    PrinterRegistry::instance().settings().illegaLcon = on;
}
