#include "app/LockPort.h"
#include "app/LockPrompts.h"
#include "app/PrintAgentClient.h"
#include "app/SocketServerLock.h"
#include "app/Startup.h"
#include "core/DataPaths.h"
#include "core/DescriptorLimit.h"
#include "store/StoreOperations.h"

#include <QApplication>
#include <QDebug>

int main(int argc, char* argv[])
{
    raiseDescriptorLimit();
    if (printVersionIfAsked(argc, argv)) {
        return 0;
    }
    limitMallocArenas();
    skipCryptoConfiguration();
    needMemory = parseNeedMemory(argc, argv);
    qDebug() << "need memory is " << needMemory;

    QCoreApplication::setSetuidAllowed(true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    avoidOpenGl();
    choosePlatform();
    auto* app = new QApplication(argc, argv);
    keepRunningWithoutWindows();

    ensureDataDirectory();
    // The key is derived while the rest starts, ready for the settings read.
    prepareSettingsStore(settingsDatabasePath());
    loadFont();
    loadTranslations();
    const int port = readPort();
    const QString userName = whoami();

    installLockPrompts();
    auto* lock = new SocketServerLock(userName, QStringLiteral("agent"));
    lock->setPort(lockPort(port));
    if (lock->start() != 0) {
        delete lock;
        delete app;
        return 0;
    }

    auto* client = new PrintAgentClient;
    // The same user started the program again: show what they asked for.
    QObject::connect(lock, &SocketServerLock::sameUserStarted, client, &PrintAgentClient::onShowPrinterWidget);
    endAtOnceOnDisplayLoss();
    const int status = QApplication::exec();
    eventLoopEnded();

    delete client;
    delete lock;
    delete app;
    return status;
}
