#pragma once
// A server listening on loopback, clients that connect to it, and what a test
// reads back: the log and the open descriptors.

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QDir>
#include <QTcpSocket>

namespace NetHarness {

// Quiet log, the table's columns, txtIP 127.0.0.1 and the port given (0: the
// system picks one); then Listen. Returns the port line 0 listens on, 0 when
// listening failed.
quint16 listenOnLoopback(Server &server, quint16 port = 0);

// Connects a client and waits until the server has added its row; nullptr on
// time-out. A client given a small read buffer stops reading once that much
// is buffered, so a large send to it stays outstanding.
std::unique_ptr<QTcpSocket> connectClient(Server &server, quint16 port, qint64 readBufferSize = 0);

inline QString logText(Server &server) { return server.log().logPane().text(); }

// Descriptors one connection between a client of this process and its
// server costs: the client's, the server's and, on Linux, the second one the
// server keeps to tell a peer's reset from an orderly close.
#ifdef Q_OS_LINUX
inline constexpr int kDescriptorsPerConnection = 3;
#else
inline constexpr int kDescriptorsPerConnection = 2;
#endif

// Open descriptors of this process (Linux: the entries of /proc/self/fd).
inline int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

} // namespace NetHarness
