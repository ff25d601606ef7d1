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
    // --web [ADDRESS:]PORT: the operator's page, on 127.0.0.1 unless an
    // address is given (port 0: the system picks one).
    bool webGiven = false;
    QString webAddress;
    quint16 webPort = 0;
    QString webTokenFile; // --web-token-file FILE; empty when absent
    // Help: the usage (standard output); Version: the version line;
    // Error: what was wrong, then the usage (standard error).
    QString text;
};

// "[ADDRESS:]PORT" of --web: an IPv4 address, or an IPv6 one in brackets,
// then a port from 0 to 65535. False, with the reason, for anything else.
bool parseWebListenOption(const QString &text, QString &address, quint16 &port, QString &error);

// arguments as main() received them, the program's name first.
CommandLine parseCommandLine(const QStringList &arguments);
