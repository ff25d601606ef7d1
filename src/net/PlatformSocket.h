#pragma once
// What the socket layer asks of the operating system beyond Qt: every
// platform-specific call of the server lives behind this interface, each
// with a fallback where the platform lacks it.

#include <QHostAddress>
#include <QtGlobal>

namespace PlatformSocket {

// Keep-alive timings of an accepted connection (SO_KEEPALIVE itself is set
// through Qt): the first probe after 60 s idle, then every 10 s, 5 probes.
// Where the platform names no such options, the system's timings apply.
void tuneKeepAlive(qintptr fd);

// The close that follows sends a reset and drops what is still queued.
void resetOnClose(qintptr fd);

// Closes a descriptor that no object owns (a connection request nobody took).
void closeDescriptor(qintptr fd);

// The peer's address of a connected descriptor (a pending connection
// request's, before any object takes it); null when it cannot be read.
QHostAddress peerAddress(qintptr fd);

// Hands bytes straight to the OS, never blocking and never raising SIGPIPE.
// Returns how many it took: 0 when it took none, failed (the caller's own
// path then meets and reports the failure), or the platform has no such call.
qint64 sendNow(qintptr fd, const char *data, qint64 size);

// Hands up to size bytes of an open file, from offset on, straight from the
// file to the OS (Linux: sendfile(2)), never blocking and never raising
// SIGPIPE; the file's own position is neither used nor moved. Returns how
// many it took. When that is fewer than size, *error says why: EAGAIN, the
// socket takes no more now; 0, the file ends there; anything else, the call
// failed or the platform has no such call (the caller then reads and writes).
qint64 sendFileNow(qintptr fd, int file, qint64 offset, qint64 size, int *error);

// Bytes handed to the OS for a connection that its peer has not yet taken
// (Linux: SIOCOUTQ, the send queue, sent but unacknowledged bytes included);
// 0 where the platform cannot tell.
qint64 undeliveredBytes(qintptr fd);

// A second descriptor of the same socket, for a notifier of our own beside
// Qt's (the event dispatcher keeps one notifier per descriptor and kind);
// -1 where the platform has none. Closed with closeDescriptor.
qintptr duplicate(qintptr fd);

// Takes one pending connection of a listening socket, never blocking.
// Returns its descriptor, or -1 and *error: 0 when none is pending (or the
// one that was has gone again), EMFILE when the process or the system is
// short of descriptors or socket memory, anything else (errno) when the
// listener itself has failed.
qintptr acceptNow(qintptr listener, int *error);

// Whether the process can still open `count` more descriptors (tried by
// duplicating fd that many times); true where the platform cannot tell.
bool descriptorsFree(qintptr fd, int count);

// Raises the soft limit of open descriptors to the hard one, where there is
// such a limit: the default soft limit of many systems (1024) is far below
// what 100 lines, the program and its libraries may need.
void raiseDescriptorLimit();

// Reads up to size bytes of an open file from offset on into dest, without
// using or moving the file's position. Returns how many it read; fewer than
// size when the file ends first (*error then 0) or fails (*error: errno).
qint64 readFileAt(int file, qint64 offset, char *dest, qint64 size, int *error);

// Tells a peer's reset from its orderly close. Qt reports both alike and has
// closed its own descriptor by the time it does, so this holds a second
// descriptor of the connection for the connection's life (Linux); elsewhere
// it holds nothing and never sees a reset.
class ResetWatch {
    Q_DISABLE_COPY_MOVE(ResetWatch)
public:
    ResetWatch() = default;
    ~ResetWatch() { close(); }
    void watch(qintptr fd);
    // After the peer's FIN the connection waits for our close; a reset has
    // closed it already.
    bool peerReset() const;
    void close();

private:
    int mFd = -1;
};

} // namespace PlatformSocket
