// qf7320: the sensor from the command line, for production lines, field checks and scripts.

#include "cli/command.h"
#include "platform/files.h"

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#endif

int main(int argc, char* argv[]) {
    std::vector<std::string> arguments;
#ifdef _WIN32
    // The arguments as the user typed them, in UTF-8 whatever the console's code page; output
    // goes out as UTF-8 too.
    (void)argc;
    (void)argv;
    int count = 0;
    if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            arguments.push_back(platform::narrow(wide[i]));
        LocalFree(wide);
    }
    SetConsoleOutputCP(CP_UTF8);
    // Line ends as they are written, "\n", the same bytes as on Linux.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#else
    arguments.assign(argv, argv + argc);
#endif
    return cli::runCommandLine(arguments, platform::programDirectory());
}
