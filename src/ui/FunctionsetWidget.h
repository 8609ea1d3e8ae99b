#ifndef PSM_FUNCTIONSETWIDGET_H
#define PSM_FUNCTIONSETWIDGET_H

#include <QWidget>

class Barcode;
class NetworkPolicy;
class Othersettings;
class QTreeWidgetItem;
struct SettingsRecord;

namespace Ui
{
class FunctionsetWidget;
}

// The settings window: a function tree and the page it selects. Its pages
// set themselves up from the registry's settings record, which the agent
// loads at start-up (loadSettings), and from the network policy.
class FunctionsetWidget : public QWidget
{
    Q_OBJECT

public:
    // Results of the settings load.
    enum LoadResult { LoadOk = 0, LoadStoreFailed = 1, LoadNoSettings = 2, LoadBadAnswer = 3 };

    FunctionsetWidget(const QString& databasePath, NetworkPolicy& policy, QWidget* parent = nullptr);
    ~FunctionsetWidget() override;

    // For a tray message after a load with this result: that the stored
    // settings could not be read and which 违规外联 setting is in force
    // instead; empty after a good load or for a fresh, empty table.
    static QString loadNotice(int loadResult, const SettingsRecord& record);
    Barcode* barcodePage() const { return m_barcode; }
    Othersettings* networkPage() const { return m_network; }

    // Reads every stored setting into the record; one of LoadResult.
    static int loadSettings(const QString& databasePath, SettingsRecord& record);
    // The record update for one answer of the store.
    static int applySettingsDocument(const QString& answer, SettingsRecord& record);

public slots:
    void fucSlotTest1(QTreeWidgetItem* item, int column);

private:
    Ui::FunctionsetWidget* ui;
    bool m_pagesCreated = false;
    Barcode* m_barcode = nullptr;
    Othersettings* m_network = nullptr;
};

#endif // PSM_FUNCTIONSETWIDGET_H
