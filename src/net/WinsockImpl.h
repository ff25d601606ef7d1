#pragma once
// Private to the socket layer: the state behind one Winsock object and the
// listening server that raises its connection requests.
//
// Everything the OS reports (Qt's socket signals, the listener's pending
// connections, the stall clock) is noted here and delivered to the program
// later, as an event posted to the object itself: handlers never run inside
// a Qt socket signal (where Qt suppresses nested readyRead / bytesWritten).
// Connection requests alone are raised at once, since their descriptor must
// be taken or closed before the notification returns.

#include "net/PlatformSocket.h"
#include "net/Winsock.h"

#include <QEvent>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

enum class Delivery { Data, Send, Closed, Failed };

// Posted to the object; carries the use (generation) it was meant for.
struct WinsockEvent : QEvent {
    static const QEvent::Type kType;
    WinsockEvent(Delivery what, quint64 use) : QEvent(kType), kind(what), generation(use) {}
    Delivery kind;
    quint64 generation;
};

struct Winsock::Impl {
    // Raises ConnectionRequest from Listen on, and closes every request that
    // no handler took (and every one that comes before Listen).
    //
    // It takes the pending connections itself; Qt's own accepting stays
    // paused. Qt cannot tell the process running out of descriptors from a
    // connection that went away (after the first "nothing pending" the
    // engine keeps that as its error), and then tries again at every turn
    // of the event loop: a busy loop. Here no connection is taken unless
    // kDescriptorReserve descriptors stay free beyond it for the rest of the
    // program (a new thread's event loop, a song file, a scan, the
    // settings); when they would not, requests wait in the OS's backlog and
    // the descriptors are looked at again every kDescriptorRetry, no sooner.
    class RequestServer : public QTcpServer {
    public:
        explicit RequestServer(Impl &impl);
        bool raising = false;
        void startRaising(); // Listen
        void stopRaising();  // before the listening socket closes

    protected:
        void incomingConnection(qintptr handle) override;

    private:
        void offer(qintptr handle);
        void acceptPending();
        void waitForDescriptors();
        void retry();

        Impl &mImpl;
        QSocketNotifier *mPending = nullptr;
        QTimer mRetry;
        bool mShort = false; // descriptors ran short and have not been free since
    };

    // Whether the use of the object that was current when this was taken is
    // still current: a handler just called may have closed, reused or
    // detached the object.
    struct Use {
        QPointer<Winsock> owner;
        quint64 generation;
        bool current() const { return owner && !owner->d->detached && owner->d->generation == generation; }
    };

    explicit Impl(Winsock *owner);
    Use currentUse() { return Use{q, generation}; }

    // --- delivery (WinsockEvents.cpp) ---------------------------------------
    void post(Delivery kind);
    void postData();
    void postSend();
    void postEnd(Delivery kind);
    void deliverData();
    void deliverSend();
    void deliverFailure();
    // What Qt reports.
    void onReadyRead();
    void onBytesWritten(qint64 n);
    void onDisconnected();
    void onSocketError(QAbstractSocket::SocketError kind);
    void failListener(const SocketError &error);
    // A file piece of which the OS took nothing waits for room (false: it
    // cannot wait here, the caller queues the piece instead).
    bool waitForRoom();
    void onRoom();

    // --- life of one use (Winsock.cpp) --------------------------------------
    bool live() const;
    // A connection that can take a send now.
    bool canSend() const;
    // Hands on the rest of one send, of which the OS took `taken` bytes
    // already: straight to the OS while nothing waits in Qt's queue, the
    // remainder queued (the stall limit then runs). Raises SendProgress and
    // SendComplete at once when nothing is left to wait for.
    bool hand(qint64 taken, const QByteArray &rest, SocketError *error);
    // Lets go of the OS resources of the current use: nothing it owned will
    // report anything, a listener's port is free again.
    void releaseOs();
    // Ends the current use silently and starts a fresh one.
    void teardown();

    // --- stall clock (WinsockStall.cpp) -------------------------------------
    // One coarse timer over every connection whose clock runs.
    class StallWatch;
    // Bytes were handed on: the clock runs from now unless it runs already
    // (a send made while earlier bytes are stuck is no progress).
    void armStall();
    void restartStall();
    // Looks at what the peer has taken: any byte restarts the clock, and a
    // connection that holds nothing undelivered any more stops it.
    void sampleStall();
    // The watch's look: sample, then cut the connection if its clock ran out.
    void checkStall();
    void disarmStall();
    void cutStalled();

    Winsock *q;
    RequestServer *server = nullptr; // bound (and maybe listening)
    QTcpSocket *socket = nullptr;    // accepted connection
    quint64 generation = 0;
    bool detached = false;
    bool failed = false;     // an error ended the last use
    bool peerClosed = false; // the peer ended the connection
    bool endPosted = false;  // Close or Error event already on its way
    bool dataPosted = false;
    bool arrived = false; // bytes arrived that no DataArrival announced yet
    bool sendPosted = false;
    bool sendOutstanding = false; // a SendData since the last SendComplete
    qint64 batchSent = 0;         // bytes written to the OS since the last SendComplete
    SocketError pendingError;
    // The request the ConnectionRequest handler holds now, and whether some
    // object took it.
    qintptr offeredRequest = -1;
    bool offerTaken = false;
    quint16 localPort = 0;
    QString localIP; // of the connection, kept after it ends
    QString remoteIP;
    quint16 remotePort = 0;
    // A file piece waits for room in the socket (sendfile took nothing):
    // the notifier, on a second descriptor of the connection, fires when
    // the socket can take bytes again. Made at the first such wait.
    bool roomWaiting = false;
    QSocketNotifier *roomNotifier = nullptr;
    qintptr roomDescriptor = -1;
    // Bytes of a send wait here, in Qt's queue or as a file piece waiting for room.
    bool sendWaiting() const { return roomWaiting || (socket && socket->bytesToWrite() > 0); }
    // Bytes of this use the OS has taken, and how many of them the peer had
    // taken at the last look; the rest waits in the OS's send queue.
    qint64 osTaken = 0;
    qint64 peerTaken = 0;
    // The clock runs while the connection holds bytes its peer has not
    // taken (here or in the OS); stallDeadline says when it runs out.
    bool stallRunning = false;
    QDeadlineTimer stallDeadline{QDeadlineTimer::Forever};
    std::chrono::milliseconds stallLimit = Winsock::kStallLimit;
    PlatformSocket::ResetWatch resetWatch;
};
