#include "ui/FunctionsetWidget.h"
#include "ui_FunctionsetWidget.h"

#include "core/SettingsRecord.h"
#include "store/StoreOperations.h"
#include "ui/Barcode.h"
#include "ui/Othersettings.h"

#include <QJsonDocument>
#include <QTreeWidgetItem>
#include <QVariantMap>

FunctionsetWidget::FunctionsetWidget(const QString& databasePath, NetworkPolicy& policy, QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::FunctionsetWidget)
{
    ui->setupUi(this);
    setFixedSize(size());
    auto* outreachItem = new QTreeWidgetItem(ui->treeWidget, QStringList(QStringLiteral("违规外联")));
    // The network page is the one shown, so its item is the current one.
    ui->treeWidget->setCurrentItem(outreachItem);
    ui->treeWidget->setHeaderHidden(true);
    connect(ui->treeWidget, &QTreeWidget::itemClicked, this, &FunctionsetWidget::fucSlotTest1);

    if (!m_pagesCreated) {
        m_pagesCreated = true;
        m_barcode = new Barcode(databasePath, ui->widget_1);
        m_network = new Othersettings(databasePath, policy, ui->widget_1);
        m_barcode->hide();
        m_network->show();
    }

    m_barcode->initFromSettings();
    m_network->initFromSettings();
}

FunctionsetWidget::~FunctionsetWidget()
{
    delete ui;
}

void FunctionsetWidget::fucSlotTest1(QTreeWidgetItem* item, int column)
{
    if (!item) {
        return;
    }
    const QString text = item->text(column);
    if (text == QStringLiteral("条码设置")) {
        m_barcode->show();
        m_network->hide();
    } else if (text == QStringLiteral("违规外联")) {
        m_network->show();
        m_barcode->hide();
    }
}

int FunctionsetWidget::loadSettings(const QString& databasePath, SettingsRecord& record)
{
    QString answer;
    queryLocalsettings(databasePath, answer);
    return applySettingsDocument(answer, record);
}

QString FunctionsetWidget::loadNotice(int loadResult, const SettingsRecord& record)
{
    // An empty table is a fresh installation; anything else unread leaves the
    // check at its default without the user knowing.
    if (loadResult != LoadStoreFailed && loadResult != LoadBadAnswer) {
        return QString();
    }
    return QStringLiteral("无法读取设置，违规外联检查现为“%1”。")
        .arg(record.illegaLcon ? QStringLiteral("开") : QStringLiteral("关"));
}

int FunctionsetWidget::applySettingsDocument(const QString& answer, SettingsRecord& record)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(answer.toUtf8(), &error);
    if (document.isNull() || error.error != QJsonParseError::NoError) {
        return LoadBadAnswer;
    }
    const QVariantMap map = document.toVariant().toMap();
    if (map.value(QStringLiteral("resultCode")).toString() != QLatin1String("0")) {
        return LoadStoreFailed;
    }
    const QVariantList rows = map.value(QStringLiteral("result")).toList();
    if (rows.isEmpty()) {
        return LoadNoSettings;
    }

    for (const QVariant& value : rows) {
        const QVariantMap row = value.toMap();
        const QString key = row.value(QStringLiteral("key")).toString();
        const QString group = row.value(QStringLiteral("group")).toString();
        const QString text = row.value(QStringLiteral("value")).toString();
        if (group == QLatin1String("feature")) {
            if (key == QLatin1String(IllegaLconKey)) {
                record.illegaLcon = text == QLatin1String("true");
            } else if (key == QLatin1String(RetroDocKey)) {
                record.retroDoc = text == QLatin1String("true");
            }
        } else if (group == QLatin1String("barcode")) {
            if (key == QLatin1String("barContent")) {
                record.barContent = text;
            } else if (key == QLatin1String("barPosition")) {
                record.barPosition = text;
            } else if (key == QLatin1String("barHor")) {
                record.barHor = text;
            } else if (key == QLatin1String("barVer")) {
                record.barVer = text;
            } else if (key == QLatin1String("barSize")) {
                record.barSize = text;
            }
        }
    }
    return LoadOk;
}
