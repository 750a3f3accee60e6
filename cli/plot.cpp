// plot: hands the poll CSV to qf7320-plot beside qf7320, which draws it. The painting and SVG
// libraries are that program's, so no other command loads them.

#include "cli/verbs.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace cli {

int plotCommand(Context& context) {
    const QStringList files = context.arguments();
    if (files.size() != 1)
        return context.usage(files.isEmpty()
                                 ? QStringLiteral("plot needs the CSV file that poll --csv wrote")
                                 : QStringLiteral("plot draws one CSV file at a time, not '%1'")
                                       .arg(files.join(QLatin1Char(' '))));

    // The options as checked here, in the plot program's own words.
    QStringList arguments{QStringLiteral("qf7320 plot"), files.first()};
    for (const char* option : {"output", "station", "from", "to", "title", "size"}) {
        const QString name = QLatin1String(option);
        if (context.isSet(name))
            arguments << QStringLiteral("--") + name << context.value(name);
    }
    const QString program =
        QDir(context.common().programDir).filePath(QStringLiteral("qf7320-plot"));
    std::vector<QByteArray> bytes;
    for (const QString& argument : arguments)
        bytes.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    ::execv(QFile::encodeName(program).constData(), argv.data());
    return context.usage(QStringLiteral("cannot run %1: %2")
                             .arg(program, QString::fromLocal8Bit(std::strerror(errno))));
}

} // namespace cli
