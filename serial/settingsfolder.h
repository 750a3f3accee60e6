#pragma once

// Where the window and the command line keep what they share: comm.set and the COMn links.
//
// Beside the program whenever that folder can be written, exactly as a portable folder (unpacked
// anywhere, or built from source) always has: the user's folder is then never looked at. When it
// cannot be written (a system-wide install, such as /usr/bin or C:\Program Files\qf7320), what
// "保存设置" saves and what `qf7320 link` makes goes to the user's own folder instead:
// $XDG_CONFIG_HOME/qf7320, else ~/.config/qf7320; %APPDATA%\qf7320 on Windows. Each name is then
// read from the user's folder when it is there (even as a link whose target has gone), else
// still from beside the program, where an administrator may have left a comm.set or a COMn for
// everyone. So one rule decides every read, name by name, and the same files always give the
// same answer.
//
// Whether the program's folder can be written is tried, not guessed from permission bits: a file
// is created in it and removed at once. Root may write into a folder of mode 0555, nobody into
// one on a read-only mount, and on Windows only the folder's access list knows.

#include <string>
#include <vector>

namespace serial {

struct SettingsFolder {
    std::string program;         // the folder that holds the program
    std::string user;            // the user's folder; empty when the environment names none
    bool programWritable = true; // whether a file could be created beside the program

    // The folder `name` is read from, by the rule above.
    std::string readFolder(const std::string& name) const;
    // The folder names are saved or made in: the program's when it can be written, else the
    // user's (the program's when there is none).
    std::string writeFolder() const;
    // The folders a name is looked for in, in order: the program's alone, or the user's and
    // then the program's.
    std::vector<std::string> searched() const;
};

// The settings folder of a program in programDir, as things stand now.
SettingsFolder settingsFolder(const std::string& programDir);

// The folder `name` is read from, as settingsFolder(programDir).readFolder(name) answers, with
// nothing created to ask: when the user's folder does not hold the name, the answer is the
// program's whether or not that can be written, so the question is put only when it does.
std::string settingsReadFolder(const std::string& programDir, const std::string& name);

// The user's own folder for this program's settings (see above); empty when the environment
// names no home.
std::string userSettingsDir();

// Whether a file can be created in dir now: one is created there and removed again.
bool canCreateFileIn(const std::string& dir);

// Makes dir, and the folders above it, when missing; true when it is a folder afterwards.
bool makeFolder(const std::string& dir);

} // namespace serial
