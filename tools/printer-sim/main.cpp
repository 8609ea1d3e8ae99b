// printer-sim: serves simulated printers over the enciphered management
// channel, as described by a scenario file that it re-reads when it changes.

#include "PrinterSimServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("printer-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated printers for the printer status monitor."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("scenario"), QStringLiteral("Scenario file (JSON)."));
    const QCommandLineOption portOption(QStringList{ QStringLiteral("p"), QStringLiteral("port") },
                                        QStringLiteral("Port for printers without their own (default 9202)."),
                                        QStringLiteral("port"), QString::number(PrinterSimServer::DefaultPort));
    const QCommandLineOption verboseOption(QStringList{ QStringLiteral("v"), QStringLiteral("verbose") },
                                           QStringLiteral("Log every connection."));
    parser.addOption(portOption);
    parser.addOption(verboseOption);
    parser.process(app);

    QTextStream err(stderr);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        err << "printer-sim: exactly one scenario file is needed" << Qt::endl;
        parser.showHelp(2);
    }
    bool portOk = false;
    const int port = parser.value(portOption).toInt(&portOk);
    if (!portOk || port < 1 || port > 65535) {
        err << "printer-sim: invalid port " << parser.value(portOption) << Qt::endl;
        return 2;
    }

    PrinterSimServer server(port);
    server.setVerbose(parser.isSet(verboseOption));
    QString error;
    if (!server.watchScenarioFile(positional.first(), &error)) {
        err << "printer-sim: " << error << Qt::endl;
        return 1;
    }
    if (!server.lastErrors().isEmpty()) {
        return 1;
    }
    err << "printer-sim: ready" << Qt::endl;
    return app.exec();
}
