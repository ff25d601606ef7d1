#pragma once
// One socket object per line, over QTcpServer / QTcpSocket, with the
// operations, properties and events the rest of the server relies on.
// Every event is delivered on the GUI thread with the line index first.
//
// Events and re-entrancy:
//  - DataArrival is delivered through a queued call, never from inside
//    readyRead, so a handler that waits (processes events) still receives
//    nested DataArrival events, on this line too. Bytes that arrived while a
//    handler ran always get a DataArrival of their own, after the handler if
//    not inside it; bytes a handler leaves unread are announced again only
//    with the next arrival, so a handler that reads nothing cannot make the
//    event loop spin. At most 64 KiB wait unread: then TCP holds the peer back.
//    A peer's close comes after the DataArrival of everything it sent.
//  - SendComplete follows every accepted SendData or SendFile on a
//    connection that stays open, also for an empty string. When the OS takes
//    every byte of a send at once (the usual case for a 4096-byte piece),
//    SendProgress and SendComplete are raised from inside SendData or
//    SendFile, before it returns: their
//    handlers must not wait. Otherwise, and always for an empty string, they
//    come later through the event loop. One SendComplete answers all the
//    sends made since the previous one, once all their bytes are with the OS.
//    SendProgress(sent, remaining) counts the bytes of those sends that have
//    reached the OS and the bytes still queued here; it precedes SendComplete.
//  - ConnectionRequest is raised from the listener's own notification. A
//    handler that accepts the request on another object tells this listener
//    so (requestTaken) before it returns; a request that no handler took is
//    closed as soon as the handler returns. Its handler must not wait for
//    events.
//  - A close the program asks for (Close(), destruction) raises no Close
//    event; only a close by the peer or the system does.
//  - The object may be destroyed from inside one of its own event handlers
//    with deleteLater(); call detach() first so that it reports nothing more.
//
// Ownership: the object owns its listening server or its connected socket;
// destroying the object (or Close()) ends either. Events for a previous use
// of the object (before Close, Bind or Accept) are dropped, never delivered
// for the next use: every use has its own generation.
//
// Listening: Bind binds and opens the OS socket at once, so that a taken port
// is reported at Bind; connection requests are raised only after Listen.
//
// The peer's orderly close is PeerClosed. A reset by the peer is Error 10054
// where the platform tells the two apart (Linux: Qt reports both alike, so
// the connection's TCP state is read through a second descriptor, held for
// the connection's life); elsewhere it is PeerClosed too. Any other failure
// of a connection or listener is Error, after which the OS socket is
// already released (a listener's port is free again).
// After either, State() reports sckClosing (peer close) or sckError,
// RemoteHostIP/RemotePort keep the peer's address for the handler's log
// line, and no further event comes for that use of the object.
//
// A stalled connection ends: while it holds bytes its peer has not taken
// (waiting here for the OS, or in the OS's send queue, SIOCOUTQ on Linux),
// and the peer takes none of them for the stall limit (kStallLimit unless
// set shorter), the connection is reset and Error 10060 "Connection timed
// out" is raised through the event loop. Every connection has a clock of its
// own, running beside the others' and restarted whenever its peer takes a
// byte, so any number of stalled connections end together and a slow but
// steady reader never does. Where the platform cannot tell what its send
// queue holds, a byte the OS takes counts as taken. One coarse timer looks
// at the running clocks (every 250 ms at most) and runs only while one
// runs: an idle server costs no wake-ups for it.
//
// Accepted connections use TCP keep-alive: the first probe after 60 s idle,
// then every 10 s, 5 probes, so a peer that vanished without a word ends its
// line (as an Error) within about two minutes. Where the platform offers
// only SO_KEEPALIVE, the system's timings apply. They also send without
// Nagle's delay (TCP_NODELAY): the end of every send leaves at once.
//
// Failures are SocketError values with the classic socket error numbers
// (SocketErrors.h lists them). The class is split by concern over
// Winsock.cpp (operations and properties), WinsockEvents.cpp (what the OS
// reports and its delivery as events), WinsockStall.cpp (the stall limit),
// with the private state in WinsockImpl.h and every platform-specific call
// in PlatformSocket.

#include "net/SocketErrors.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class Winsock : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Winsock)
public:
    enum StateValue {
        sckClosed = 0,
        sckOpen = 1,
        sckListening = 2,
        sckConnectionPending = 3,
        sckResolvingHost = 4,
        sckHostResolved = 5,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8,
        sckError = 9
    };

    static constexpr std::chrono::milliseconds kStallLimit = std::chrono::seconds(30);

    explicit Winsock(qint16 index, QObject *parent = nullptr);
    ~Winsock() override; // closes without raising events

    qint16 index() const { return mIndex; }

    // Operations. Each returns false and fills *error on failure.
    bool Bind(quint16 localPort, const QString &localIP, SocketError *error);
    bool Listen(SocketError *error);
    bool Accept(qintptr requestID, SocketError *error);
    bool SendData(const QByteArray &data, SocketError *error);
    // What became of one SendFile: how many of the piece's bytes were sent
    // (the OS took them, or they wait in the send queue), and, when the file
    // ended or failed within the piece, why.
    struct FilePiece {
        qint64 bytes = 0;
        QString fileError;
    };
    // Sends up to `length` bytes of an open regular file from `offset` on.
    // Where the platform can (Linux: sendfile), the bytes go straight from
    // the file to the OS, and only as many as it takes now: a full socket
    // ends the piece early (piece->bytes < length, no fileError), and a
    // piece it took none of stays outstanding until the socket has room
    // again, its SendComplete then coming through the event loop with no
    // byte sent; the stall limit runs on that wait as on queued bytes.
    // Elsewhere the piece is read and sent as SendData sends text. Events
    // otherwise as for SendData. The file's position is neither used nor
    // moved, and the descriptor stays the caller's. A piece of which the
    // file gave no byte sends nothing and raises no event. Returns false
    // and fills *error when the socket refuses the piece.
    bool SendFile(int file, qint64 offset, qint64 length, FilePiece *piece, SocketError *error);
    QByteArray GetData(); // all bytes received so far
    void Close();         // ends connection or listening; no Close event
    // Stops all event delivery for good (before deleteLater on release).
    void detach();

    // Properties.
    QString LocalIP() const; // unbound: the machine's primary IPv4 address
    quint16 LocalPort() const;
    void setLocalPort(quint16 port);
    QString RemoteHostIP() const; // empty unless connected
    quint16 RemotePort() const;
    int State() const;
    qint64 BytesReceived() const;
    // The connection's OS descriptor while connected, else -1. For reading
    // socket options; the object keeps ownership.
    qintptr SocketHandle() const;

    // Stall limit of this object's sends (seam: tests and a start-up setting
    // shorten it). A limit that is running starts again with the new length.
    void setStallLimit(std::chrono::milliseconds limit);
    // When the connection ends unless its peer takes some byte first;
    // Forever while it holds no byte the peer has not taken. Every byte the
    // peer takes moves it on (seen at the next look of the clocks).
    QDeadlineTimer stallDeadline() const;

    // Called from the ConnectionRequest handler: the request this listener
    // is raising was accepted on another object, which owns it from now on,
    // so the listener does not close it. Any other identifier is ignored.
    void requestTaken(qintptr requestID);

    // At start-up: the soft limit of open descriptors raised to the hard one.
    static void raiseDescriptorLimit();

    // The machine's primary IPv4 address: first non-loopback IPv4 address of
    // an interface that is up and running, else "127.0.0.1".
    static QString primaryIPv4();

protected:
    bool event(QEvent *e) override;

signals:
    void ConnectionRequest(qint16 index, qintptr requestID);
    void DataArrival(qint16 index, qint64 bytesTotal);
    void SendProgress(qint16 index, qint64 bytesSent, qint64 bytesRemaining);
    void SendComplete(qint16 index);
    void PeerClosed(qint16 index); // the Close event: the peer or the system closed
    void Error(qint16 index, int number, const QString &description);
    void Connect(qint16 index);
    // A listener stops taking connection requests while the process is
    // short of descriptors (true), and takes them again once enough are
    // free (false): once each per shortage, from the event loop. Requests
    // wait in the OS's backlog meanwhile. Its handler must not wait.
    void AcceptPaused(qint16 index, bool paused);

private:
    qint16 mIndex;
    struct Impl;
    std::unique_ptr<Impl> d;
};
