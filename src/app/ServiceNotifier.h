#pragma once
// Tells a service manager how the server is (systemd, through sd_notify):
// READY=1 once start-up has ended and a listener is open, one STATUS= line
// kept current (the status bar's texts), WATCHDOG=1 from the event loop when
// a watchdog is asked for, and STOPPING=1 when the exit work begins.
// Outside a service manager (NOTIFY_SOCKET unset), or in a build without
// libsystemd, every call does nothing and no timer ever runs.
//
// The status line goes out only when its text changed, at most every
// kStatusGapMs: a change arms a single-shot timer, so an idle server is never
// woken. While a scan or a song stream is under way the line is looked at
// again at that pace (a stalled stream's rate falls with no event to say so).
// Until READY=1, a line sent during the scan also moves the manager's start
// timeout on, so that a large library's first scan is not taken for a hang.
//
// Re-entrancy: nothing here waits. Both timers fire from the event loop, and
// so also nested inside any wait that lets events through (the send gate,
// the streams, the scan's pump): a server waiting for a slow client keeps
// feeding the watchdog, and only a loop stuck outside every wait starves it.
// The ServerStatus handler only arms a timer, so it may run inside the send
// gate. The Server given to attach() may go first: its status is then no
// longer read.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class Server;
class ServerStatus;

class ServiceNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int kStatusGapMs = 250;
    // How far each status line sent during the start-up scan moves the
    // manager's start timeout (systemd's default timeout).
    static constexpr qint64 kStartExtensionUsec = 90'000'000;

    explicit ServiceNotifier(QObject *parent = nullptr);
    ~ServiceNotifier() override;

    // A service manager asked to be told (and the build can tell it).
    static bool enabled();

    // Follows the server's status from now on and starts the watchdog's
    // timer when one was asked for. Call once, before start-up's scan.
    void attach(Server &server);
    // Start-up has ended: READY=1 now if a listener is open, otherwise as
    // soon as one opens (a window's operator may press Listen later).
    void ready();
    // The exit work has begun: STOPPING=1; nothing is sent after it.
    void stopping();
    // A status line is due once the pace allows (a change is pending, or a
    // scan or stream is being followed). For tests.
    bool statusPending() const { return mStatusTimer.isActive(); }

    // The status line: where the server listens (or why not), the songs it
    // offers, its clients, and the scan or the song being sent; control
    // characters escaped, so that a text cannot add an assignment of its own.
    static QByteArray statusLine(const ServerStatus &status);

private:
    void statusChanged();
    void sendStatus(const QByteArray &prefix = {});
    void notify(const QByteArray &state);

    QPointer<Server> mServer;
    QPointer<ServerStatus> mStatus;
    QTimer mStatusTimer;
    QTimer mWatchdogTimer;
    QElapsedTimer mSinceStatus; // invalid until the first status line went out
    QByteArray mLastStatus;
    bool mReadyPending = false;
    bool mReadySent = false;
    bool mStopped = false;
    bool mFailureLogged = false;
};
