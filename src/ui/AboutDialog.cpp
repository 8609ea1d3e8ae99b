#include "ui/AboutDialog.h"

#include "core/DataPaths.h"
#include "ui/ActivityLabel.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QSpacerItem>
#include <QUrl>

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowTitle(QStringLiteral("关于"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    m_grid = new QGridLayout(this);
    m_grid->setContentsMargins(24, 24, 24, 24);
    m_grid->setHorizontalSpacing(8);
    m_grid->setVerticalSpacing(12);
    m_grid->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 1, 0);
    m_grid->addItem(new QSpacerItem(20, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 1, 3);
}

QString AboutDialog::licencePath()
{
    return dataDirectory() + QStringLiteral("/") + QStringLiteral("LICENCE.txt");
}

QStringList AboutDialog::breakLines(const QString& text, const QFontMetrics& metrics, int width)
{
    // Chinese text has no blanks to break at, so the rule is per character;
    // a line never starts with the blank that ended the previous one.
    QStringList lines;
    QString line;
    for (const QChar c : text) {
        if (!line.isEmpty() && metrics.horizontalAdvance(line + c) > width) {
            lines.append(line);
            line.clear();
            if (c.isSpace()) {
                continue;
            }
        }
        line += c;
    }
    if (!line.isEmpty() || lines.isEmpty()) {
        lines.append(line);
    }
    return lines;
}

void AboutDialog::setInfo(const QList<InfoRow>& rows)
{
    int row = 1;
    for (const InfoRow& info : rows) {
        auto* key = new QLabel(info.first, this);
        auto* value = new QLabel(this);
        value->setFixedWidth(ValueWidth);
        key->setAlignment(Qt::AlignRight | Qt::AlignTop);
        value->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        value->setText(breakLines(info.second, value->fontMetrics(), ValueWidth).join(QLatin1Char('\n')));
        m_grid->addWidget(key, row, 1);
        m_grid->addWidget(value, row, 2);
        ++row;
    }

    auto* link = new ActivityLabel(QStringLiteral("第三方模块版权信息"), this);
    QFont font = link->font();
    font.setUnderline(true);
    link->setFont(font);
    link->setCursor(Qt::PointingHandCursor);
    link->setObjectName(QStringLiteral("licenceLink"));
    connect(link, &ActivityLabel::clicked, this, &AboutDialog::openLicence);
    m_grid->addWidget(link, row, 2);
}

void AboutDialog::openLicence()
{
    // A missing file is the desktop handler's to report.
    QDesktopServices::openUrl(QUrl::fromLocalFile(licencePath()));
}
