#ifndef PSM_OTHERSETTINGS_H
#define PSM_OTHERSETTINGS_H

#include <QWidget>

class NetworkPolicy;
class QAbstractButton;
class QButtonGroup;

namespace Ui
{
class Othersettings;
}

// The network-connection page: shows and switches the illegal-outreach
// check, which lives outside the page (the agent holds it for the session).
class Othersettings : public QWidget
{
    Q_OBJECT

public:
    Othersettings(const QString& databasePath, NetworkPolicy& policy, QWidget* parent = nullptr);
    ~Othersettings() override;

    // Sets the radio buttons from the check's state.
    void initFromSettings();

public slots:
    void setIllegaLcon(QAbstractButton* button);

private:
    Ui::Othersettings* ui;
    QString m_databasePath;
    NetworkPolicy& m_policy;
    QButtonGroup* m_group;
};

#endif // PSM_OTHERSETTINGS_H
