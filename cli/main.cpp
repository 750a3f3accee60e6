// qf7320: the sensor from the command line, for production lines, field checks and scripts.

#include "cli/command.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qf7320"));
    return cli::runCommandLine(QCoreApplication::arguments(),
                               QCoreApplication::applicationDirPath());
}
