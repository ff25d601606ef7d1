#pragma once
// What the connection lines need from the program that wires them in. The
// lines never reach for that program itself: whoever builds Lines fills
// these in (the server with its log and event loop, a test with fakes).

#include <QString>

#include <functional>

struct LineServices {
    std::function<void(const QString &)> log; // one operator log entry
    std::function<bool()> exiting;            // the exit work has begun
    std::function<void()> waitForEvents;      // block until an event was processed; never spins
};
