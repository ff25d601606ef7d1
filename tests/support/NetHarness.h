#pragma once
// A server listening on loopback on a port the system chose, and clients
// that connect to it: for tests that need real lines.

#include <QByteArray>
#include <QString>
#include <QTcpSocket>
#include <memory>

class Server;

namespace NetHarness {

// Quiet log, seven columns, txtIP 127.0.0.1 and txtPort "0"; then Listen.
// Returns the port line 0 listens on (0 when listening failed).
quint16 listenOnLoopback(Server &server);

// Until the interpreter paces sends itself, a test stands in for its
// SendComplete handler: the line is no longer busy.
void clearBusyOnSendComplete(Server &server);

// Connects a client and waits until the server has accepted it (a row was
// added). Returns nullptr on time-out.
std::unique_ptr<QTcpSocket> connectClient(Server &server, quint16 port);

// Connects a client without waiting for the server to take it.
std::unique_ptr<QTcpSocket> connectRaw(quint16 port);

// The log pane's text.
QString logText(Server &server);
// Number of open descriptors of this process (Linux: /proc/self/fd), -1 elsewhere.
int openDescriptorCount();

// Lets deferred deletions run, as a return to the main loop would.
void flushDeferredDeletes();

} // namespace NetHarness
