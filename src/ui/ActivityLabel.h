#ifndef PSM_ACTIVITYLABEL_H
#define PSM_ACTIVITYLABEL_H

#include <QLabel>

// A label that acts as a link: a left click on it emits clicked().
class ActivityLabel : public QLabel
{
    Q_OBJECT

public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

#endif // PSM_ACTIVITYLABEL_H
