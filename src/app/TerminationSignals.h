#pragma once
// The signals that steer a running server, as ordinary events: SIGINT,
// SIGTERM and SIGHUP (the terminal of a foreground server closing) ask it to
// end; SIGUSR1 (systemctl reload) asks for a Reload. The signal handler only
// writes the signal's number to a socket pair (async-signal-safe), and a
// QSocketNotifier on the other end reports it from the event loop, where
// the exit work or the Reload runs like any other handler: also nested
// inside a wait that lets events through, exactly as a button of the
// window can. Needs no window: the core's event loop is enough.

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Creates the socket pair and installs the handlers. Call it early (before
    // the application object exists): a signal that arrives before the
    // notifier exists is kept in the pair and reported once it does.
    // Returns false where that is not possible; the signals then keep their
    // default action, as does a signal that was ignored when we started
    // (nohup). Idempotent.
    static bool install();

    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    // SIGINT, SIGTERM or SIGHUP.
    void received(int signalNumber);
    // SIGUSR1. Several that arrive before the event loop gets to them are
    // reported once, and not at all when an exit arrived with them; a Reload
    // during a scan is the catalogue's to settle.
    void reloadRequested();

private:
    void readable();

    QSocketNotifier *mNotifier = nullptr;
};
