#ifndef PSM_LISTENPRINTERSTATUS_H
#define PSM_LISTENPRINTERSTATUS_H

#include <QObject>
#include <QStringList>

class QTimer;

// Polls the registered printers over their private RPC channel and reports
// each poll as a list of status codes. It lives on a thread of its own: all
// slots and the timer run there, so polls never overlap.
class ListenPrinterStatus : public QObject
{
    Q_OBJECT

public:
    static constexpr int PollIntervalMs = 60000;

    explicit ListenPrinterStatus(QObject* parent = nullptr);
    ~ListenPrinterStatus() override;

    // One poll of one printer; emits printerStatusChanged with the report.
    void getPrinterStatusOnPrivateChannel(const QString& printerName);

signals:
    void printerStatusChanged(QString printerName, QStringList errorList);

public slots:
    void listenPrinterStatus(const QStringList& printerList, bool immediate);
    void startListenPrinterStatus(bool ifStart);
    void stopListenPrinterStatus(bool ifStop);
    void updatePrinterStatus(const QString& printerName);
    void refreshPrinterStatus();

private:
    QTimer* m_timer;
};

#endif // PSM_LISTENPRINTERSTATUS_H
