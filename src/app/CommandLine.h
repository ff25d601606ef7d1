#pragma once
// The program's command line. It is read before the application object
// exists, so that --help and --version answer on a machine without any
// display, and a mistyped option stops the program before it starts
// serving. Qt's own options (-platform, -style, -display, ...) are accepted
// and left in place for the application object to read.
//
// Pure: nothing here logs, waits or touches the process.

#include "net/ConnectionAdmission.h"

#include <QString>
#include <QStringList>

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    bool headless = false;      // --headless
    bool platformGiven = false; // Qt's -platform
    QString settingsFile;       // --settings FILE as given; empty when absent
    bool wideLinks = false;     // --wide-links
    AdmissionRule admission;    // --allow NETWORK (repeatable), --max-lines-per-host N
    // Help: the usage (standard output); Version: the version line;
    // Error: what was wrong, then the usage (standard error).
    QString text;
};

// arguments as main() received them, the program's name first.
CommandLine parseCommandLine(const QStringList &arguments);
