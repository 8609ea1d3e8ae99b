#ifndef PSM_FUNCTIONSETWIDGET_H
#define PSM_FUNCTIONSETWIDGET_H

#include "network_detect.h"

#include <QWidget>

class Barcode;
class Othersettings;
class QTreeWidgetItem;
struct SettingsRecord;

namespace Ui
{
class FunctionsetWidget;
}

// The settings window: a function tree and the page it selects. At
// construction it loads the stored settings into the registry's settings
// record, from which its pages set themselves up.
class FunctionsetWidget : public QWidget
{
    Q_OBJECT

public:
    // Results of the settings load.
    enum LoadResult { LoadOk = 0, LoadStoreFailed = 1, LoadNoSettings = 2, LoadBadAnswer = 3 };

    // The agent's settings database and the public probe host.
    explicit FunctionsetWidget(QWidget* parent = nullptr);
    FunctionsetWidget(const QString& databasePath, const ProbeTarget& probe, QWidget* parent = nullptr);
    ~FunctionsetWidget() override;

    int loadResult() const { return m_loadResult; }
    // For a tray message: that the stored settings could not be read and
    // which 违规外联 setting is in force instead; empty after a good load.
    QString loadNotice() const { return m_loadNotice; }
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
    int m_loadResult = LoadOk;
    QString m_loadNotice;
};

#endif // PSM_FUNCTIONSETWIDGET_H
