#include "ui/Barcode.h"
#include "ui_Barcode.h"

#include "core/Log.h"
#include "core/PrinterRegistry.h"
#include "core/SettingsRecord.h"
#include "store/StoreOperations.h"
#include "ui/UiPrompts.h"

#include <QButtonGroup>
#include <QSignalBlocker>

namespace
{
// Content item names in slot order, as stored in barContent.
const char* const ContentItems[Barcode::ContentCount]
    = { "PrinterName", "PrinterIP", "PCName", "Date", "Time", "Copies", "Pages" };

struct PositionRow {
    const char* key;
    int horMin, horMax;
    int verMin, verMax;
};

// Position ids 1 to 8: how far the barcode may move from each anchor.
const PositionRow Positions[8] = {
    { "upperLeft", 0, 26, 0, 5 },      { "upperMiddle", -26, 26, 0, 5 },  { "upperRight", -26, 0, 0, 5 },
    { "leftMiddle", 0, 5, -26, 26 },   { "rightMiddle", -5, 0, -26, 26 }, { "lowerLeft", 0, 26, -5, 0 },
    { "lowerMiddle", -26, 26, -5, 0 }, { "lowerRight", -26, 0, -5, 0 },
};

// Size ids 1 to 4.
const char* const Scales[4] = { "1.4", "1.6", "1.8", "2.0" };

QString rangeText(const QString& direction, int minimum, int maximum)
{
    return QStringLiteral("%1取值范围：%2mm~%3mm").arg(direction).arg(minimum).arg(maximum);
}

const QString GroupBarcode = QStringLiteral("barcode");
const QString GroupFeature = QStringLiteral("feature");
} // namespace

Barcode::Barcode(const QString& databasePath, QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::Barcode)
    , m_databasePath(databasePath)
{
    ui->setupUi(this);
    m_contentBoxes = { ui->checkBox_printName, ui->checkBox_printIp, ui->checkBox_userName, ui->checkBox_date,
                       ui->checkBox_time,      ui->checkBox_copies,  ui->checkBox_pages };

    m_positionGroup = new QButtonGroup(this);
    const QList<QRadioButton*> positionButtons
        = { ui->radioButton_upperLeft,   ui->radioButton_upperMiddle, ui->radioButton_upperRight,
            ui->radioButton_leftMiddle,  ui->radioButton_rightMiddle, ui->radioButton_lowerLeft,
            ui->radioButton_lowerMiddle, ui->radioButton_lowerRight };
    for (int i = 0; i < positionButtons.size(); ++i) {
        m_positionGroup->addButton(positionButtons.at(i), i + 1);
    }
    m_sizeGroup = new QButtonGroup(this);
    m_sizeGroup->addButton(ui->radioButton_size1, 1);
    m_sizeGroup->addButton(ui->radioButton_size2, 2);
    m_sizeGroup->addButton(ui->radioButton_size3, 3);
    m_sizeGroup->addButton(ui->radioButton_size4, 4);

    connect(m_positionGroup, &QButtonGroup::idClicked, this, &Barcode::barcodePosition);
    connect(m_sizeGroup, &QButtonGroup::idClicked, this, &Barcode::barcodeSize);
    for (QCheckBox* box : m_contentBoxes) {
        connect(box, &QCheckBox::clicked, this, &Barcode::SetcheckboxBarcodecontent);
    }
    connect(ui->checkBox_generate, &QCheckBox::stateChanged, this, &Barcode::onRetroDocChanged);
    connect(ui->pushButton_barcode, &QPushButton::clicked, this, &Barcode::onpushButton_barcodeClicked);
    connect(ui->spinBox_hor, qOverload<int>(&QSpinBox::valueChanged), this,
            [this](int) { m_changed[HorChanged] = true; });
    connect(ui->spinBox_ver, qOverload<int>(&QSpinBox::valueChanged), this,
            [this](int) { m_changed[VerChanged] = true; });

    applyPosition(1);
}

Barcode::~Barcode()
{
    delete ui;
}

void Barcode::initFromSettings()
{
    const SettingsRecord& record = PrinterRegistry::instance().settings();

    // Showing the stored values is not a change: nothing is saved for it.
    const QSignalBlocker generateBlocker(ui->checkBox_generate);
    const QSignalBlocker horBlocker(ui->spinBox_hor);
    const QSignalBlocker verBlocker(ui->spinBox_ver);

    ui->checkBox_generate->setChecked(record.retroDoc);

    const QStringList stored = record.barContent.split(QLatin1Char('-'));
    for (int i = 0; i < ContentCount; ++i) {
        const QString name = QString::fromLatin1(ContentItems[i]);
        const bool chosen = stored.contains(name);
        m_contentBoxes[i]->setChecked(chosen);
        m_content[i] = chosen ? name : QString();
    }

    int positionId = 1;
    for (int id = 1; id <= 8; ++id) {
        if (record.barPosition == QLatin1String(Positions[id - 1].key)) {
            positionId = id;
        }
    }
    m_position = QString::fromLatin1(Positions[positionId - 1].key);
    m_positionGroup->button(positionId)->setChecked(true);
    applyPosition(positionId);

    int sizeId = 1;
    for (int id = 1; id <= 4; ++id) {
        if (record.barSize == QLatin1String(Scales[id - 1])) {
            sizeId = id;
        }
    }
    m_scale = QString::fromLatin1(Scales[sizeId - 1]);
    m_sizeGroup->button(sizeId)->setChecked(true);

    m_hor = record.barHor.isEmpty() ? QStringLiteral("0") : record.barHor;
    m_ver = record.barVer.isEmpty() ? QStringLiteral("0") : record.barVer;
    ui->spinBox_hor->setValue(m_hor.toInt());
    ui->spinBox_ver->setValue(m_ver.toInt());

    m_changed.fill(false);
}

QString Barcode::contentText() const
{
    QStringList parts;
    for (const QString& part : m_content) {
        parts.append(part);
    }
    return parts.join(QLatin1Char('-'));
}

bool Barcode::applyPosition(int id)
{
    if (id < 1 || id > 8) {
        return false;
    }
    const PositionRow& row = Positions[id - 1];
    ui->spinBox_hor->setRange(row.horMin, row.horMax);
    ui->spinBox_ver->setRange(row.verMin, row.verMax);
    ui->label_horRange->setText(rangeText(QStringLiteral("横向"), row.horMin, row.horMax));
    ui->label_verRange->setText(rangeText(QStringLiteral("纵向"), row.verMin, row.verMax));
    return true;
}

void Barcode::barcodePosition(int id)
{
    if (!applyPosition(id)) {
        m_changed[PositionChanged] = false;
        return;
    }
    m_changed[PositionChanged] = true;
    m_position = QString::fromLatin1(Positions[id - 1].key);
}

void Barcode::barcodeSize(int id)
{
    if (id < 1 || id > 4) {
        m_changed[ScaleChanged] = false;
        return;
    }
    m_changed[ScaleChanged] = true;
    m_scale = QString::fromLatin1(Scales[id - 1]);
}

void Barcode::SetcheckboxBarcodecontent()
{
    m_changed[ContentChanged] = true;
    for (int i = 0; i < ContentCount; ++i) {
        m_content[i] = m_contentBoxes[i]->isChecked() ? QString::fromLatin1(ContentItems[i]) : QString();
    }
}

bool Barcode::save(const QString& key, const QString& value, const QString& group)
{
    if (addSetting(m_databasePath, SettingsItem{ key, value, group }) != 0) {
        PSM_LOG << "save failed" << key;
        return false;
    }
    return true;
}

void Barcode::onRetroDocChanged(int state)
{
    if (state != Qt::Checked && state != Qt::Unchecked) {
        return;
    }
    const bool on = state == Qt::Checked;
    if (on) {
        PSM_LOG << "retroDoc outreach open";
    } else {
        PSM_LOG << "retroDoc outreach close";
    }
    if (!save(QString::fromLatin1(RetroDocKey), on ? QStringLiteral("true") : QStringLiteral("false"), GroupFeature)) {
        UiPrompts::message(this, QMessageBox::Warning, QStringLiteral("提示"), QStringLiteral("配置失败！"),
                           QStringLiteral("确定"));
        return;
    }
    PrinterRegistry::instance().settings().retroDoc = on;
}

void Barcode::onpushButton_barcodeClicked()
{
    SettingsRecord& record = PrinterRegistry::instance().settings();
    bool failed = false;

    // A value whose save fails keeps its changed flag, so the next save tries
    // it again instead of losing it.
    auto store = [&](Changed which, const char* key, const QString& value, QString& recordField) {
        if (!m_changed[which]) {
            return;
        }
        m_changed[which] = false;
        if (save(QString::fromLatin1(key), value, GroupBarcode)) {
            recordField = value;
        } else {
            m_changed[which] = true;
            failed = true;
        }
    };
    store(ContentChanged, "barContent", contentText(), record.barContent);
    store(PositionChanged, "barPosition", m_position, record.barPosition);
    store(HorChanged, "barHor", ui->spinBox_hor->text(), record.barHor);
    store(VerChanged, "barVer", ui->spinBox_ver->text(), record.barVer);
    store(ScaleChanged, "barSize", m_scale, record.barSize);

    if (failed) {
        UiPrompts::message(this, QMessageBox::Warning, QStringLiteral("提示"), QStringLiteral("配置失败！"),
                           QStringLiteral("确定"));
    } else {
        UiPrompts::message(this, QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("配置成功！"),
                           QStringLiteral("确定"));
    }
}
