#pragma once
// What the command interpreter needs from the program that wires it in. The
// protocol never reaches for that program itself: whoever builds the
// Interpreter fills these in (the server with its log panes, its check box
// and its event loop; a test with fakes).

#include <QString>

#include <functional>

struct ProtocolServices {
    // One operator log entry.
    std::function<void(const QString &)> log;
    // Appends text, unchanged, to the incoming-messages pane.
    std::function<void(const QString &)> incoming;
    // "Hide System Messages" is checked: the incoming pane gets the received
    // text only, without the line that says where it came from.
    std::function<bool()> hideSystemMessages;
    // Tells the operator something that needs no answer: an information box,
    // or the log where none can be shown. A box runs a nested event loop, so
    // any handler, the interpreter's own included, can run inside it.
    std::function<void(const QString &)> showInformation;
    // True once the exit work has begun: streams and replies stop at their
    // next step.
    std::function<bool()> exiting;
    // Lets pending events through once and never blocks; any handler can
    // run inside it.
    std::function<void()> pumpEvents;
};
