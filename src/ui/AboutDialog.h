#ifndef PSM_ABOUTDIALOG_H
#define PSM_ABOUTDIALOG_H

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

class QGridLayout;

// Shows the product's name, description and version as label rows, and a
// link that opens the licence notices of the modules the agent uses.
class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    using InfoRow = QPair<QString, QString>; // key label, value
    static constexpr int ValueWidth = 300;

    explicit AboutDialog(QWidget* parent = nullptr);

    // Builds the rows in list order, then the licence link below them.
    void setInfo(const QList<InfoRow>& rows);

    // "LICENCE.txt" in the data directory.
    static QString licencePath();
    // Breaks text into lines no wider than width in the given metrics.
    static QStringList breakLines(const QString& text, const QFontMetrics& metrics, int width);

private:
    void openLicence();

    QGridLayout* m_grid;
};

#endif // PSM_ABOUTDIALOG_H
