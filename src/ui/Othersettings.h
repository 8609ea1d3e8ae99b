#ifndef PSM_OTHERSETTINGS_H
#define PSM_OTHERSETTINGS_H

#include "network_detect.h"

#include <QSystemTrayIcon>
#include <QWidget>

class QAbstractButton;
class QButtonGroup;

namespace Ui
{
class Othersettings;
}

// The network-connection page: switches the illegal-outreach check on or
// off and, while it is on, warns with a tray balloon whenever the probe
// reaches the internet.
class Othersettings : public QWidget
{
    Q_OBJECT

public:
    enum Policy { PolicyOn = 0, PolicyOff = 1 };

    explicit Othersettings(const QString& databasePath, QWidget* parent = nullptr);
    ~Othersettings() override;

    // Sets the radio buttons and the policy from the settings record.
    void initFromSettings();
    // Creates the probe thread, connects its reports and starts it.
    void startNetworkDetect(const ProbeTarget& target);

    int policy() const { return m_policy; }
    network_detect* networkDetect() const { return m_detect; }
    const QSystemTrayIcon& warningIcon() const { return m_trayIcon; }

public slots:
    void setIllegaLcon(QAbstractButton* button);
    void update_network_state(int state);

private:
    Ui::Othersettings* ui;
    QString m_databasePath;
    QButtonGroup* m_group;
    QSystemTrayIcon m_trayIcon;
    int m_policy = PolicyOn;
    network_detect* m_detect = nullptr;
};

#endif // PSM_OTHERSETTINGS_H
