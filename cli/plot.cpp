// plot: hands the poll CSV to qf7320-plot beside qf7320, which draws it. The painting and SVG
// libraries are that program's, so no other command loads them.

#include "cli/verbs.h"
#include "platform/files.h"
#include "platform/text.h"

#include <cstdio>

#ifndef _WIN32
#include <cerrno>
#include <cstring>
#include <unistd.h>
#endif

namespace cli {

#ifdef _WIN32

int plotCommand(Context& context) {
    return context.usage("plot is not part of the Windows build: the CSV that poll --csv wrote "
                         "opens in a spreadsheet, or qf7320 plot draws it on Linux");
}

#else

int plotCommand(Context& context) {
    const std::vector<std::string> files = context.arguments();
    if (files.size() != 1)
        return context.usage(files.empty()
                                 ? std::string("plot needs the CSV file that poll --csv wrote")
                                 : text::format("plot draws one CSV file at a time, not '%1'",
                                                {text::join(files, " ")}));

    // The options as checked here, in the plot program's own words.
    std::vector<std::string> arguments{"qf7320 plot", files.front()};
    for (const char* option : {"output", "station", "from", "to", "title", "size"}) {
        if (context.isSet(option)) {
            arguments.push_back(std::string("--") + option);
            arguments.push_back(context.value(option));
        }
    }
    const std::string program = platform::joinPath(context.common().programDir, "qf7320-plot");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The plot program takes this process's place, with its standard output and error.
    std::fflush(stdout);
    std::fflush(stderr);
    ::execv(program.c_str(), argv.data());
    return context.usage(text::format("cannot run %1: %2", {program, std::strerror(errno)}));
}

#endif

} // namespace cli
