#pragma once
// A server listening on loopback on a port the system chose, clients that
// connect to it, and what a test reads back: the log and the descriptors.

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QTcpSocket>
#include <memory>

namespace NetHarness {

// Quiet log, the table's columns, txtIP 127.0.0.1 and txtPort "0"; then
// Listen. Returns the port line 0 listens on, 0 when listening failed.
quint16 listenOnLoopback(Server &server);

// Connects a client and waits until the server has added its row; nullptr on
// time-out. A client given a small read buffer stops reading once that much
// is buffered, so a large send to it stays outstanding.
std::unique_ptr<QTcpSocket> connectClient(Server &server, quint16 port, qint64 readBufferSize = 0);

QString logText(Server &server);
// Open descriptors of this process (/proc/self/fd); -1 where that is unknown.
int openDescriptorCount();

} // namespace NetHarness
