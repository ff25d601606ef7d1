#pragma once
// The connection lines on loopback without a server around them: the fake
// services Lines is given, clients that connect to it, a client that holds
// the send gate shut, and the open descriptors a test reads back.

#include "net/ConnectionTable.h"
#include "net/LineServices.h"
#include "net/Lines.h"
#include "net/Winsock.h"

#include <QDir>
#include <QTcpSocket>

#include <functional>
#include <memory>

namespace NetHarness {

// What the program gives the lines, with the log and the exit flag kept by
// the test: waits block in the event loop until the exit work has begun.
LineServices loopbackServices(std::function<void(const QString &)> log, const bool &exiting);

// The table's columns, then Listen on 127.0.0.1 and the port given (0: the
// system picks one). Returns the port line 0 listens on, 0 when listening
// failed.
quint16 listenOnLoopback(Lines &lines, quint16 port = 0);

// Connects a client and waits until its row is in the table; nullptr on
// time-out. A client given a small read buffer stops reading once that much
// is buffered, so a large send to it stays outstanding; a receive buffer
// (the kernel's, in bytes) bounds what the kernel takes in for it meanwhile.
std::unique_ptr<QTcpSocket> connectClient(Lines &lines, quint16 port, qint64 readBufferSize = 0,
                                          int receiveBuffer = 0);

// A client that holds the send gate shut as a real one can: it stops
// reading, so a large send to it stays outstanding, its line busy, until it
// reads again. Its row is not marked, so no reply addresses it.
class GateHolder {
public:
    GateHolder(Lines &lines, quint16 port);
    // Hands the holder a send larger than the kernel can take in for it
    // (through the gate, which may wait); true once that send is outstanding.
    bool shut();
    // Reads again, all there is and all that comes: the send completes and
    // the gate opens, through the event loop.
    void open();

private:
    Lines &mLines;
    std::unique_ptr<QTcpSocket> mSocket;
    qint16 mLine = -1;
    bool mReading = false;
};

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
    return int(QDir(QStringLiteral("/proc/self/fd"))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
}

} // namespace NetHarness
