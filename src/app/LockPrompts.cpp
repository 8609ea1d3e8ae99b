#include "app/LockPrompts.h"

#include "app/SocketServerLock.h"

#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QTimer>

namespace
{
bool showQuestion(const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton);
    box.addButton(QObject::tr("是"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QObject::tr("否"), QMessageBox::NoRole);
    box.exec();
    return box.clickedButton() != no;
}

void showError(const QString& title, const QString& text, int closeAfterMs)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::NoButton);
    QTimer::singleShot(closeAfterMs, &box, [&box] { box.done(0); });
    box.exec();
}
} // namespace

void installLockPrompts()
{
    SocketServerLock::setQuestionHandler(showQuestion);
    SocketServerLock::setErrorHandler(showError);
}
