#pragma once
// What a scan needs from the program that runs it. The library includes
// nothing above itself; whoever wires the program together fills these in.

#include <QString>
#include <functional>

struct ScanServices {
    // One operator log entry.
    std::function<void(const QString &)> log;
    // True once the exit work has begun: a running walk stops at its next entry.
    std::function<bool()> exiting;
    // Lets pending events through once and never blocks; any handler can
    // run inside it.
    std::function<void()> pumpEvents;
    // The music-folder field as it is now.
    std::function<QString()> musicFolder;
};
