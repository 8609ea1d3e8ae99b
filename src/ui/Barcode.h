#ifndef PSM_BARCODE_H
#define PSM_BARCODE_H

#include <QString>
#include <QWidget>

#include <array>

class QButtonGroup;
class QCheckBox;

namespace Ui
{
class Barcode;
}

// The barcode settings page: whether a barcode is printed, what it holds,
// where it sits, how far it is shifted and how large it is. The generate
// switch is stored at once; the other values when the user saves, each only
// when it changed.
class Barcode : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ContentCount = 7;

    explicit Barcode(const QString& databasePath, QWidget* parent = nullptr);
    ~Barcode() override;

    // Sets every control and working value from the settings record.
    void initFromSettings();

    // The content value as it would be saved now: the seven slots joined by "-".
    QString contentText() const;
    QString positionKey() const { return m_position; }
    QString scale() const { return m_scale; }

public slots:
    void barcodePosition(int id);
    void barcodeSize(int id);
    void SetcheckboxBarcodecontent();
    void onRetroDocChanged(int state);
    void onpushButton_barcodeClicked();

private:
    enum Changed { ContentChanged, PositionChanged, HorChanged, VerChanged, ScaleChanged, ChangedCount };

    // Ranges and range texts of a position id from 1 to 8; false for others.
    bool applyPosition(int id);
    bool save(const QString& key, const QString& value, const QString& group);

    Ui::Barcode* ui;
    QString m_databasePath;
    QButtonGroup* m_positionGroup;
    QButtonGroup* m_sizeGroup;
    std::array<QCheckBox*, ContentCount> m_contentBoxes{};
    std::array<QString, ContentCount> m_content;
    QString m_position = QStringLiteral("upperLeft");
    QString m_hor = QStringLiteral("0");
    QString m_ver = QStringLiteral("0");
    QString m_scale = QStringLiteral("1.4");
    std::array<bool, ChangedCount> m_changed{};
};

#endif // PSM_BARCODE_H
